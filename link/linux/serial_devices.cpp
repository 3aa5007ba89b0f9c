// Linux serial device discovery (sysfs, TIOCGSERIAL); holds nothing else.
#include "link/linux/serial_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <tuple>

#include "platform/linux/scoped_fd.h"

namespace vtrl {

namespace {

// Families in COM order.
constexpr const char* kFamilies[] = {"ttyS", "ttyUSB", "ttyACM"};
constexpr int kOnBoardFamily = 0;
constexpr size_t kMaxDigits = 6;

// The family of `name` and its number; false for any other name.
bool ParseName(const std::string& name, int* family, unsigned long* number) {
    for (int f = 0; f < static_cast<int>(std::size(kFamilies)); ++f) {
        const std::string prefix = kFamilies[f];
        if (name.size() <= prefix.size() || name.size() > prefix.size() + kMaxDigits ||
            name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string digits = name.substr(prefix.size());
        if (!std::all_of(digits.begin(), digits.end(),
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            continue;
        }
        *family = f;
        *number = std::strtoul(digits.c_str(), nullptr, 10);
        return true;
    }
    return false;
}

std::string LinkTargetName(const std::string& link) {
    char target[512];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return std::string();
    }
    const std::string path(target, static_cast<size_t>(n));
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReadNumber(const std::string& path, long* value) {
    std::ifstream in(path);
    return static_cast<bool>(in >> *value);
}

// Asks the device itself, for nodes sysfs does not describe (a pseudo-terminal
// bound over a device name, a system without sysfs): a terminal, and with
// `uart` one whose UART type is known.
bool DeviceAnswers(const std::string& path, bool uart) {
    const ScopedFd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        // No UART at the port's address (the legacy placeholders answer so);
        // a port we may not open or that is in use is there all the same.
        return !(errno == ENXIO || errno == ENODEV || errno == EIO);
    }
    bool port = isatty(fd.Get()) != 0;
    serial_struct info{};
    if (port && uart && ioctl(fd.Get(), TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN) {
        port = false;
    }
    return port;
}

}  // namespace

std::vector<std::string> OrderSerialDeviceNames(std::vector<std::string> names) {
    std::vector<std::tuple<int, unsigned long, std::string>> keyed;
    for (std::string& name : names) {
        int family = 0;
        unsigned long number = 0;
        if (ParseName(name, &family, &number)) {
            keyed.emplace_back(family, number, std::move(name));
        }
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<std::string> ordered;
    ordered.reserve(keyed.size());
    for (auto& k : keyed) {
        ordered.push_back(std::move(std::get<2>(k)));
    }
    return ordered;
}

bool SerialPortPresent(const std::string& path, const std::string& sys_root, bool uart) {
    struct stat node {};
    if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
        return false;
    }
    // The device the node really is: a name may be bound over another device.
    const std::string sys = sys_root + "/dev/char/" + std::to_string(major(node.st_rdev)) + ":" +
                            std::to_string(minor(node.st_rdev));
    struct stat described {};
    if (stat(sys.c_str(), &described) == 0) {
        if (LinkTargetName(sys + "/subsystem") != "tty") {
            return false;
        }
        if (!uart) {
            return true;
        }
        // The serial core shows the UART type; 0 (unknown) marks the
        // placeholders of legacy ports with nothing behind them.
        long type = 0;
        if (ReadNumber(sys + "/type", &type)) {
            return type != PORT_UNKNOWN;
        }
    }
    return DeviceAnswers(path, uart);
}

std::vector<std::string> PresentSerialPorts(const std::string& dev_dir,
                                            const std::string& sys_root) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(dev_dir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            names.emplace_back(entry->d_name);
        }
        closedir(dir);
    }
    const std::vector<std::string> ordered = OrderSerialDeviceNames(std::move(names));
    std::vector<std::string> present;
    for (const std::string& name : ordered) {
        int family = 0;
        unsigned long number = 0;
        ParseName(name, &family, &number);
        std::string path = dev_dir;
        path += '/';
        path += name;
        if (SerialPortPresent(path, sys_root, family == kOnBoardFamily)) {
            present.push_back(path);
        }
    }
    return present;
}

}  // namespace vtrl
