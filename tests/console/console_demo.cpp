// Drives the native console port on a real terminal for the tmux check: a
// 51 by 11 message, a key, the message closed, a second message, a key.
#include "console/console_port.h"
#include "console/dconsole.h"

int main() {
    vtrl::SetConsolePort(vtrl::NativeConsolePort());
    if (!vtrl::InitConsole("Vantrel console check")) {
        return 2;
    }
    vtrl::ShowMessageWindow(" Console check\r\n Second line\r\n Press a key", 51, 11);
    vtrl::ReadKey();
    vtrl::CloseMessageWindow();
    vtrl::ShowMessageWindow(" Closed", 51, 11);
    vtrl::ReadKey();
    vtrl::CloseMessageWindow();
    return 0;
}
