// The platform's own HID backend on a machine without the instrument: the
// search runs through the real enumeration and ends without a device, and
// the calls the link makes on a failed open or an idle record fail cleanly.
#include <gtest/gtest.h>

#include <string>

#include "driver/program_state.h"
#include "link/hid_port.h"
#include "link/usb_link.h"

namespace vtrl {
namespace {

class NativeHid : public ::testing::Test {
  protected:
    void SetUp() override {
        SetHidPort(&NativeHidPort());
        ResetProgramState();
    }
    void TearDown() override {
        ResetProgramState();
        SetHidPort(nullptr);
    }
};

TEST_F(NativeHid, SearchWithoutAnInstrumentHoldsNothing) {
    char buffers[kUsbIdentFieldCount][80] = {};
    char* fields[kUsbIdentFieldCount];
    for (int i = 0; i < kUsbIdentFieldCount; ++i) {
        fields[i] = buffers[i];
    }
    EXPECT_FALSE(FindUSBDevice(fields, 80));
    EXPECT_FALSE(USBLinkSelected());
    EXPECT_EQ(buffers[0][0], '\0');  // nothing filled without a device
    const uint8_t packet[1] = {72};
    EXPECT_EQ(SendUSBPacket(packet, 1), 0);
    uint8_t block[256];
    uint32_t length = 0;
    EXPECT_NE(GetUSBResponsePacket(block, &length), 0);
}

TEST_F(NativeHid, EnumerationEndsAndBadPathsDoNotOpen) {
    HidPort& port = NativeHidPort();
    if (port.BeginEnumeration()) {
        std::string path;
        uint32_t count = 0;
        while (count < 10000 && port.EnumerateInterface(count, &path)) {
            ++count;
        }
        EXPECT_LT(count, 10000u);
        EXPECT_FALSE(port.EnumerateInterface(count, &path));
        port.EndEnumeration();
    }
    port.EndEnumeration();  // a second end is harmless
    EXPECT_EQ(port.Open("no-such-hid-device"), kNoHidHandle);
    EXPECT_NE(port.LastError(), 0u);
}

TEST_F(NativeHid, IdleRecordTimesOutAtOnce) {
    HidPort& port = NativeHidPort();
    HidIoRecord record = port.CreateIoRecord();
    ASSERT_NE(record, kNoHidIoRecord);
    EXPECT_EQ(port.Wait(record, 0), HidWait::kTimedOut);
    port.CloseIoRecord(record);
}

}  // namespace
}  // namespace vtrl
