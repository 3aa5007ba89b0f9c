// Mode strings as the ports understand them, and the platform's own port where
// it can be checked without a cable: it reads the link's mode string as 57600
// 8N1 (BuildCommDCBA on Windows, the termios backend's parser on Linux) and
// refuses a port that does not exist.
#include <gtest/gtest.h>

#include "link/serial_port.h"

namespace vtrl {
namespace {

TEST(CommModeTest, AcceptedForms) {
    struct Case {
        const char* mode;
        uint32_t baud;
        char parity;
        int data;
        int stop;
    };
    const Case cases[] = {
        {"COM1:57600,n,8,1", 57600, 'n', 8, 1}, {"COM3:57600,n,8,1", 57600, 'n', 8, 1},
        {"com12: 9600,E,7,2", 9600, 'e', 7, 2}, {"COM2:19200,o,8,1.5", 19200, 'o', 8, 15},
        {"115200", 115200, 'n', 8, 1},          {"COM1:4800,s", 4800, 's', 8, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        LineSettings s;
        ASSERT_TRUE(ParseCommMode(c.mode, &s));
        EXPECT_EQ(s.baud_rate, c.baud);
        EXPECT_EQ(s.parity, c.parity);
        EXPECT_EQ(s.data_bits, c.data);
        EXPECT_EQ(s.stop_bits, c.stop);
    }
}

TEST(CommModeTest, RefusedForms) {
    const char* const refused[] = {
        "",
        "COM1:",
        "COM:57600",
        "COM0:57600",
        "COM1 57600",
        "COM1:0",
        "COM1:57600,x,8,1",
        "COM1:57600,n,9,1",
        "COM1:57600,n,4,1",
        "COM1:57600,n,8,3",
        "COM1:57600,n,8,1,junk",
        "COM1:99999999999",
        "COM1:57600,,8,1",
    };
    for (const char* mode : refused) {
        SCOPED_TRACE(mode);
        LineSettings s;
        s.baud_rate = 1234;
        EXPECT_FALSE(ParseCommMode(mode, &s));
        EXPECT_EQ(s.baud_rate, 1234u) << "settings changed by a refused string";
    }
    LineSettings s;
    EXPECT_FALSE(ParseCommMode(nullptr, &s));
}

TEST(NativeSerialPortTest, BuildsTheLinksLineSettings) {
    LineSettings s;
    ASSERT_TRUE(NativeSerialPort().BuildLineSettings("COM1:57600,n,8,1", &s));
    EXPECT_EQ(s.baud_rate, 57600u);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, 'n');
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_FALSE(NativeSerialPort().BuildLineSettings("COM1:57600,q,8,1", &s));
}

TEST(NativeSerialPortTest, PortThatDoesNotExistIsNotOpened) {
    EXPECT_EQ(NativeSerialPort().Open(200, "\\\\.\\COM200"), kInvalidSerialHandle);
    EXPECT_EQ(NativeSerialPort().Open(0, "\\\\.\\COM0"), kInvalidSerialHandle);
}

TEST(SerialPortSeamTest, NothingIsReachableUntilAPortIsInstalled) {
    SetSerialPort(nullptr);
    EXPECT_EQ(&CurrentSerialPort(), &NoSerialPort());
    EXPECT_EQ(CurrentSerialPort().Open(1, "\\\\.\\COM1"), kInvalidSerialHandle);
    SetSerialPort(&NativeSerialPort());
    EXPECT_EQ(&CurrentSerialPort(), &NativeSerialPort());
    SetSerialPort(nullptr);
}

}  // namespace
}  // namespace vtrl
