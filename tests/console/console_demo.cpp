// Drives the native console port on a real terminal for the tmux checks.
//   console_demo            a 51 by 11 message, a key, the message closed, a
//                           second message, a key
//   console_demo error-box  the console error box for a failed title call,
//                           then (on Yes) a message saying so
#include <cstring>

#include "console/console_port.h"
#include "console/dconsole.h"

int main(int argc, char** argv) {
    vtrl::SetConsolePort(vtrl::NativeConsolePort());
    if (!vtrl::InitConsole("Vantrel console check")) {
        return 2;
    }
    if (argc > 1 && std::strcmp(argv[1], "error-box") == 0) {
        vtrl::ReportConsoleError(vtrl::kConsoleModuleName, 213, "SetConsoleTitle", 5);
        vtrl::ShowMessageWindow(" Carried on", 51, 11);
        vtrl::ReadKey();
        return 0;
    }
    vtrl::ShowMessageWindow(" Console check\r\n Second line\r\n Press a key", 51, 11);
    vtrl::ReadKey();
    vtrl::CloseMessageWindow();
    vtrl::ShowMessageWindow(" Closed", 51, 11);
    vtrl::ReadKey();
    vtrl::CloseMessageWindow();
    return 0;
}
