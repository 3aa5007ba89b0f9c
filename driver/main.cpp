// vtrlupg: the firmware upgrade program on the platform's own console, HID
// devices and serial ports.
#include "console/console_port.h"
#include "driver/entry.h"
#include "link/hid_port.h"
#include "link/serial_port.h"

int main(int argc, char** argv) {
    vtrl::SetConsolePort(vtrl::NativeConsolePort());
    vtrl::SetHidPort(&vtrl::NativeHidPort());
    vtrl::SetSerialPort(&vtrl::NativeSerialPort());
    return vtrl::RunUpgradeProgram(argc, argv);
}
