#include "driver/keep_awake.h"

namespace vtrl {

namespace {
int g_active_guards = 0;
}

KeepAwake::KeepAwake() {
    if (g_active_guards++ == 0) {
        SetSystemKeepAwake(true);
    }
}

KeepAwake::~KeepAwake() {
    if (--g_active_guards == 0) {
        SetSystemKeepAwake(false);
    }
}

int KeepAwakeActiveCount() {
    return g_active_guards;
}

}  // namespace vtrl
