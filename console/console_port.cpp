#include "console/console_port.h"

namespace vtrl {

namespace {

InertConsolePort g_inert_port;
ConsolePort* g_port = nullptr;

}  // namespace

void SetConsolePort(ConsolePort* port) {
    g_port = port;
}

ConsolePort& CurrentConsolePort() {
    if (g_port != nullptr) {
        return *g_port;
    }
    return g_inert_port;
}

}  // namespace vtrl
