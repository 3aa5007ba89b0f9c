// What the console modules offer only to their tests (tests/common/test_hooks.h):
// looks into their state, built into vtrl_console_test_support, which no
// program links.
#include "console/internal.h"
#include "tests/common/test_hooks.h"

namespace vtrl {

bool CursorBelowRegion() {
    return console_internal::g_cursor_below;
}

WindowStackEntry* TopWindowEntry() {
    return console_internal::g_top;
}

WindowStackEntry* BottomWindowEntry() {
    return console_internal::g_bottom;
}

}  // namespace vtrl
