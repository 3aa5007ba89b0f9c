#include "console/dconsole.h"

#include "console/console_setup.h"
#include "console/popup_window.h"
#include "console/text_output.h"

namespace vtrl {

void ResetConsoleState() {
    ResetPopupWindows();
    ResetTextOutput();
    ResetConsoleSetup();
}

}  // namespace vtrl
