// Which Linux devices are COM1, COM2, ...: the serial ports that really exist,
// on-board UARTs first (/dev/ttyS*), then USB serial adapters (/dev/ttyUSB*),
// then USB CDC adapters and modems (/dev/ttyACM*), each family by number.
#pragma once

#include <string>
#include <vector>

namespace vtrl {

// The serial device names among `names` (entries of a /dev directory) in COM
// order: ttyS<n>, ttyUSB<n>, ttyACM<n>, each family by the number n.  Names
// that are not a family prefix followed by digits only are left out.
std::vector<std::string> OrderSerialDeviceNames(std::vector<std::string> names);

// True when the node at `path` is a serial port: a character device of the
// tty class (as sysfs under `sys_root` describes the device the node really
// is, when it knows it).  With `uart` set (an on-board port) the device must
// also have a UART behind it: the placeholders the kernel makes for every
// legacy port (UART type unknown) are no ports.  A port that exists but may
// not be opened (permissions, in use) still counts, so that the numbering
// does not depend on who runs the program.
bool SerialPortPresent(const std::string& path, const std::string& sys_root, bool uart);

// Paths of the serial ports present under `dev_dir`, COM1 first.
std::vector<std::string> PresentSerialPorts(const std::string& dev_dir = "/dev",
                                            const std::string& sys_root = "/sys");

}  // namespace vtrl
