// Drives the native console port on a real terminal for the tmux checks.
//   console_demo            a 51 by 11 message, a key, the message closed, a
//                           second message, a key
//   console_demo error-box  the console error box for a failed title call,
//                           then (on Yes) a message saying so
//   console_demo windows    the program's windows one after another, each
//                           until a key: the USB found window, the version
//                           prompt, the progress window, an abort message over
//                           it, the progress window again, the empty screen
// The terminal is checked and taken first, as the program does: status 6
// when it cannot show the largest window.
#include <cstdio>
#include <cstring>
#include <string>

#include "console/console_port.h"
#include "console/dconsole.h"

namespace {

void ShowWindows() {
    vtrl::ShowMessageWindow("Found Vantrel on USB \r\n", 68, 10);
    vtrl::ConsolePrint("Firmware Version 1.006\r\nLanguage = <English>\r\n");
    vtrl::ConsolePrint("Maufacturer = Vantrel\r\nProduct = Cycler\r\nSerial Number = 42\r\n");
    vtrl::ReadKey();
    vtrl::CloseMessageWindow();
    vtrl::ShowMessageWindow(
        " Old program version:  1.006\r\n\r\n New program version:  1.007\r\n\r\n"
        " Proceed with download? y/n :",
        51, 11);
    vtrl::ReadKey();
    vtrl::CloseMessageWindow();
    vtrl::OpenPopupWindow(vtrl::kProgressWindowTemplate);
    vtrl::ConsolePrint(" Downloading: ");
    vtrl::MoveCursor(1, 2);
    vtrl::ClearToEndOfLine();
    vtrl::ConsolePrint(" Remaining blocks: %d  Retries: %d", 599, 0);
    vtrl::MoveCursor(1, 1);
    vtrl::ReadKey();
    vtrl::ShowAbortMessage("Excessive retries error.");
    vtrl::ReadKey();
    vtrl::ClosePopupWindow();
    vtrl::ReadKey();
}

}  // namespace

int main(int argc, char** argv) {
    std::string reason;
    if (!vtrl::PrepareNativeConsole(68, 11, &reason)) {
        std::fprintf(stderr, "console_demo: %s\n", reason.c_str());
        return 6;
    }
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
    if (argc > 1 && std::strcmp(argv[1], "windows") == 0) {
        ShowWindows();
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
