// vtrlupg: the firmware upgrade program on the platform's own console, HID
// devices and serial ports.
#include <cstdio>
#include <string>

#include "console/console_port.h"
#include "driver/dll_search.h"
#include "driver/entry.h"
#include "driver/file_io.h"
#include "link/hid_port.h"
#include "link/serial_port.h"

int main(int argc, char** argv) {
    // Before any DLL is loaded at run time (hid.dll by the USB link).
    (void)vtrl::LimitDllSearch();
    // Before anything else, and before any link is touched: a program that
    // cannot show its windows must not talk to the instrument.
    std::string reason;
    if (!vtrl::PrepareNativeConsole(vtrl::kLargestWindowColumns, vtrl::kLargestWindowRows,
                                    &reason)) {
        (void)std::fprintf(stderr, "vtrlupg: %s\n", reason.c_str());
        return vtrl::kExitNoTerminal;
    }
    vtrl::SetConsolePort(vtrl::NativeConsolePort());
    vtrl::SetHidPort(&vtrl::NativeHidPort());
    vtrl::SetSerialPort(&vtrl::NativeSerialPort());
    return vtrl::RunUpgradeProgram(argc, argv, vtrl::RunningProgramPath());
}
