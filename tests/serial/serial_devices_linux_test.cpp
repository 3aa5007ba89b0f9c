// Which Linux device nodes are COM1, COM2, ...: the order of the names and
// which nodes count as serial ports, on real device nodes (a pseudo-terminal,
// /dev/null, a plain file) with a sysfs tree made for the test.  (Both
// together, end to end: tests/e2e-linux.)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/linux/serial_devices.h"

namespace vtrl {
namespace {

namespace fs = std::filesystem;

TEST(SerialDeviceOrderTest, OnBoardThenUsbThenAcmEachByNumber) {
    const std::vector<std::string> names = {
        "ttyUSB10", "ttyACM0", "ttyS10",   "console", "ttyUSB2", "ttyS2",   "ttySAC0",
        "ttyS",     "tty1",    "ttyUSB0x", "ttyACM1", "ttyS0",   "ttyUSB9", "ttyS1234567"};
    const std::vector<std::string> expected = {"ttyS0",   "ttyS2",    "ttyS10",  "ttyUSB2",
                                               "ttyUSB9", "ttyUSB10", "ttyACM0", "ttyACM1"};
    EXPECT_EQ(OrderSerialDeviceNames(names), expected);
}

class SerialPortPresentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("vtrl-serial-" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "dev");
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        pty_ = ptsname(master_);
        std::ofstream(root_ / "dev" / "plain") << "not a device";
    }
    void TearDown() override {
        close(master_);
        fs::remove_all(root_);
    }

    // sysfs as it describes the device of `node`: its class and, for a
    // serial-core port, its UART type ("" leaves either out).
    void Describe(const std::string& node, const std::string& subsystem, const std::string& type) {
        struct stat st {};
        ASSERT_EQ(stat(node.c_str(), &st), 0);
        const fs::path sys = root_ / "sys";
        fs::remove_all(sys);
        const fs::path device =
            sys / "dev" / "char" /
            (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
        fs::create_directories(device);
        if (!subsystem.empty()) {
            fs::create_directories(sys / "class" / subsystem);
            fs::create_directory_symlink(sys / "class" / subsystem, device / "subsystem");
        }
        if (!type.empty()) {
            std::ofstream(device / "type") << type << "\n";
        }
    }

    fs::path root_;
    int master_ = -1;
    std::string pty_;
};

TEST_F(SerialPortPresentTest, PlaceholdersAndOtherDevicesAreNoPorts) {
    struct Case {
        const char* what;
        std::string node;
        bool described;  // sysfs knows the device
        const char* subsystem;
        const char* type;
        bool uart;
        bool present;
    };
    const std::string plain = (root_ / "dev" / "plain").string();
    const Case cases[] = {
        {"a pseudo-terminal bound over an on-board name", pty_, false, "", "", true, true},
        {"/dev/null, sysfs without it", "/dev/null", false, "", "", true, false},
        {"a legacy placeholder (UART type 0)", pty_, true, "tty", "0", true, false},
        {"an on-board UART (type 4, a 16550A)", pty_, true, "tty", "4", true, true},
        {"an adapter sysfs calls a tty", pty_, true, "tty", "", false, true},
        {"a device of another class", pty_, true, "mem", "4", true, false},
        {"a plain file", plain, false, "", "", false, false},
    };
    for (const Case& c : cases) {
        fs::remove_all(root_ / "sys");
        if (c.described) {
            Describe(c.node, c.subsystem, c.type);
        }
        EXPECT_EQ(SerialPortPresent(c.node, (root_ / "sys").string(), c.uart), c.present) << c.what;
    }
}

}  // namespace
}  // namespace vtrl
