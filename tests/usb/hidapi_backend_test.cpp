// The hidraw backend under the USB link and the protocol, over a scripted
// hidapi: report ID bytes as hidapi wants and gives them, the 259-byte input
// report rebuilt from what hidraw delivers, feature report 0, device strings
// and the time-outs handed to hidapi.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "driver/program_state.h"
#include "link/hid_port.h"
#include "link/linux/hid_port.h"
#include "link/serial_link.h"
#include "link/usb_link.h"
#include "protocol/protocol.h"
#include "tests/common/test_hooks.h"
#include "tests/usb/fake_hidapi.h"

namespace vtrl::test {
namespace {

using Bytes = std::vector<uint8_t>;

// An input report as hidraw delivers it: no report ID, so the status byte
// comes first and the 256 response bytes start at offset 2.
Bytes HidrawInputReport(uint8_t status, const Bytes& response) {
    Bytes report(258, 0);
    report[0] = status;
    std::copy(response.begin(), response.end(), report.begin() + 2);
    return report;
}

// The instrument's report descriptor: vendor page, no report IDs, input 258,
// output 256 and feature 256 bytes.
const Bytes kInstrumentDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                     0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x02, 0x01, 0x09,
                                     0x02, 0x81, 0x02, 0x96, 0x00, 0x01, 0x09, 0x03, 0x91,
                                     0x02, 0x96, 0x00, 0x01, 0x09, 0x04, 0xB1, 0x02, 0xC0};

class HidapiBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFakeHidapi();
        sysfs_ = std::filesystem::temp_directory_path() /
                 ("vtrl-hidapi-sysfs-" + std::to_string(::getpid()));
        std::filesystem::remove_all(sysfs_);
        port_ = MakeHidrawPort(sysfs_.string());
        SetHidPort(port_.get());
        ResetProgramState();
    }
    void TearDown() override {
        ResetProgramState();
        SetHidPort(nullptr);
        ResetFakeHidapi();
        std::filesystem::remove_all(sysfs_);
    }

    // What sysfs shows of hidraw node `node`'s report descriptor.
    void SetDescriptor(const std::string& node, const Bytes& descriptor) {
        const std::filesystem::path dir = sysfs_ / "class/hidraw" / node / "device";
        std::filesystem::create_directories(dir);
        std::ofstream((dir / "report_descriptor").string(), std::ios::binary)
            .write(reinterpret_cast<const char*>(descriptor.data()),
                   static_cast<std::streamsize>(descriptor.size()));
    }

    // The instrument (and a mouse before it); the instrument's entry.
    FakeHidapiDevice& AddInstrument(uint16_t release) {
        FakeHidapiDevice mouse;
        mouse.path = "/dev/hidraw0";
        mouse.vendor_id = 0x046D;
        mouse.product_id = 0xC077;
        FakeHidapiDevices().push_back(mouse);
        FakeHidapiDevice d;
        d.path = "/dev/hidraw1";
        d.vendor_id = kVantrelVendorId;
        d.product_id = kVantrelProductId;
        d.release_number = release;
        d.manufacturer = L"Vantrel";
        d.product = L"Vantrel Thermal Cycler";
        FakeHidapiDevices().push_back(d);
        SetDescriptor("hidraw1", kInstrumentDescriptor);
        return FakeHidapiDevices().back();
    }

    std::filesystem::path sysfs_;
    std::unique_ptr<HidPort> port_;
};

// The report lengths come from the descriptor sysfs keeps for the node: the
// instrument's are taken; other lengths (a 64-byte report), a descriptor
// that cannot be parsed or none at all, and the interface is not taken.
TEST_F(HidapiBackend, OnlyAnInterfaceWithTheInstrumentsReportLengthsIsTaken) {
    struct Case {
        const char* name;
        bool present;
        Bytes descriptor;
        bool found;
    };
    const Case cases[] = {
        {"the instrument's", true, kInstrumentDescriptor, true},
        {"other lengths", true, {0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x91, 0x02}, false},
        {"cut short", true, Bytes(kInstrumentDescriptor.begin(), kInstrumentDescriptor.end() - 2),
         false},
        {"none in sysfs", false, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProgramState();
        ResetFakeHidapi();
        FakeHidapiDevice& d = AddInstrument(2);
        std::filesystem::remove_all(sysfs_);
        if (c.present) {
            SetDescriptor("hidraw1", c.descriptor);
        }
        EXPECT_EQ(FindUSBDevice(nullptr, 0), c.found);
        EXPECT_EQ(d.open_handles, c.found ? 1 : 0);
    }
}

TEST_F(HidapiBackend, DeviceStringsComeFromWhatHidrawCanRead) {
    FakeHidapiDevice& d = AddInstrument(2);
    char buffers[kUsbIdentFieldCount][80] = {};
    char* fields[kUsbIdentFieldCount];
    for (int i = 0; i < kUsbIdentFieldCount; ++i) {
        fields[i] = buffers[i];
    }
    ASSERT_TRUE(FindUSBDevice(fields, 80));
    EXPECT_EQ(UsbDeviceRelease(), 2);
    EXPECT_EQ(std::string(buffers[0]), "Language = <English>");
    EXPECT_EQ(std::string(buffers[1]), "Maufacturer = Vantrel");
    EXPECT_EQ(std::string(buffers[2]), "Product = Vantrel Thermal Cycler");
    EXPECT_EQ(std::string(buffers[3]), "Serial Number = <not found>");  // sysfs has none
    EXPECT_EQ(std::string(buffers[4]), "Configuration = <not found>");
    EXPECT_EQ(std::string(buffers[5]), "Interface = <not found>");
    EXPECT_EQ(d.open_handles, 1);
    EXPECT_EQ(FakeHidapiDevices()[0].open_handles, 0);
}

TEST_F(HidapiBackend, InputReportWayTakesTheResponseAfterStatusAndSpareByte) {
    FakeHidapiDevice& d = AddInstrument(2);
    ASSERT_TRUE(FindUSBDevice(nullptr, 0));
    d.queued.push_back(HidrawInputReport(0, {72, 0xDE, 0xAD}));  // a reply that came too late
    d.arriving.push_back(HidrawInputReport(0, {72, 0x12, 0x34}));

    ClearLinkError();
    EXPECT_EQ(GetStatus(), 0x1234u);
    EXPECT_EQ(GetLinkError(), 0u);
    ASSERT_EQ(d.written.size(), 1u);
    Bytes expected(257, 0);
    expected[1] = 72;  // report ID 0 first, as hid_write wants it
    EXPECT_EQ(d.written[0], expected);
    EXPECT_EQ(d.read_timeouts_ms, std::vector<int>{10000});
    EXPECT_EQ(d.read_lengths, std::vector<size_t>{258});

    // A report cut short must not show the previous report's echo.
    d.arriving.push_back(Bytes{0, 0});
    ClearLinkError();
    EXPECT_EQ(GetStatus(), 0u);
    EXPECT_EQ(GetLinkError(), kLinkErrorNoReply);

    // Nothing arrives: the read ends with its time-out, not blocked.
    ClearLinkError();
    EXPECT_EQ(GetStatus(), 0u);
    EXPECT_EQ(GetLinkError(), kLinkErrorNoReply);
    EXPECT_EQ(d.read_timeouts_ms.back(), 10000);

    // Unplugged: hidraw refuses the write at once (ENODEV), and nothing is
    // waited for, neither the write nor a response.
    d.write_errno = ENODEV;
    const size_t reads = d.read_timeouts_ms.size();
    ClearLinkError();
    EXPECT_EQ(GetStatus(), 0u);
    EXPECT_EQ(GetLinkError(), kLinkErrorSend);
    EXPECT_EQ(port_->LastError(), kHidErrorDeviceNotConnected);
    EXPECT_EQ(d.read_timeouts_ms.size(), reads);
}

TEST_F(HidapiBackend, ReadyFlagWayReadsTheFlagThenFeatureReportZero) {
    FakeHidapiDevice& d = AddInstrument(1);
    ASSERT_TRUE(FindUSBDevice(nullptr, 0));
    d.queued.push_back(HidrawInputReport(0x01, {}));  // stale: discarded before polling
    d.arriving.push_back(HidrawInputReport(0x02, {}));
    d.arriving.push_back(HidrawInputReport(0x01, {}));
    d.feature = {72, 0x00, 0x20};

    ClearLinkError();
    EXPECT_EQ(GetStatus(), 0x20u);
    EXPECT_EQ(GetLinkError(), 0u);
    EXPECT_EQ(d.read_timeouts_ms, (std::vector<int>{1000, 1000}));
    ASSERT_EQ(d.feature_requests.size(), 1u);
    EXPECT_EQ(d.feature_requests[0].size(), 257u);
    EXPECT_EQ(d.feature_requests[0][0], 0);

    // Unplugged while polling: the exchange ends at the first failed read.
    d.fail_read_after = d.reads_done;
    d.read_timeouts_ms.clear();
    ClearLinkError();
    EXPECT_EQ(GetStatus(), 0u);
    EXPECT_EQ(GetLinkError(), kLinkErrorNoReply);
    EXPECT_EQ(d.read_timeouts_ms.size(), 1u);
}

}  // namespace
}  // namespace vtrl::test
