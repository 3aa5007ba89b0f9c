#include "driver/keep_awake.h"

#include "driver/internal.h"

namespace vtrl {

namespace driver_internal {
int g_active_guards = 0;
}  // namespace driver_internal

namespace {
using driver_internal::g_active_guards;
}  // namespace

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

}  // namespace vtrl
