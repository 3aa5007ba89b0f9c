// The console modules' own state, reached from outside them only by their
// test support (console/test_support.cpp, which the tests link and no program
// does).  Each item is defined in the module named beside it.
#pragma once

#include "console/popup_window.h"

namespace vtrl::console_internal {

// text_output.cpp: true while the cursor sits on the row just below the region.
extern bool g_cursor_below;

// popup_window.cpp: the newest and the oldest entry of the window stack.
extern WindowStackEntry* g_top;
extern WindowStackEntry* g_bottom;

}  // namespace vtrl::console_internal
