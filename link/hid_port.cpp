#include "link/hid_port.h"

namespace vtrl {

namespace {

AbsentHidPort g_absent_port;
HidPort* g_port = nullptr;

}  // namespace

void SetHidPort(HidPort* port) {
    g_port = port;
}

HidPort& CurrentHidPort() {
    if (g_port != nullptr) {
        return *g_port;
    }
    return g_absent_port;
}

}  // namespace vtrl
