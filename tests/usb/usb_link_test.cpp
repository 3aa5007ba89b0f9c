// The USB HID link against the simulated HID machine: discovery, the output
// report, both response ways with their limits in virtual time.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "tests/common/test_hooks.h"
#include "tests/usb/usb_test_rig.h"

namespace vtrl::test {
namespace {

using sim::SimHidDevice;

std::u16string U16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

SimHidDevice Foreign(const std::string& path, uint16_t vendor = 0x046D, uint16_t product = 0xC077) {
    SimHidDevice d;
    d.path = path;
    d.attributes = HidAttributes{vendor, product, 0x0100};
    return d;
}

// A device model for the link's own limits: input reports from a script
// (arriving at once unless `silent`), a fixed feature response.
class ScriptedModel final : public sim::HidDeviceModel {
  public:
    explicit ScriptedModel(Clock& clock) : clock_(clock) {}
    std::deque<uint8_t> status;  // byte 1 of each input report, in order; then `idle_status`
    uint8_t idle_status = 0x00;
    bool silent = false;  // no input report ever arrives
    uint8_t feature_echo = 72;
    int input_reports = 0;
    std::vector<uint64_t> taken_at_ms;  // when each input report was taken

    bool OutputReport(const uint8_t*, size_t) override { return true; }
    bool InputReport(uint8_t* report, size_t length, uint64_t deadline_us) override {
        if (silent) {
            clock_.SleepUs(deadline_us - clock_.NowUs());
            return false;
        }
        ++input_reports;
        taken_at_ms.push_back(clock_.NowMs());
        std::memset(report, 0, length);
        report[1] = idle_status;
        if (!status.empty()) {
            report[1] = status.front();
            status.pop_front();
        }
        return true;
    }
    bool FeatureReport(uint8_t* report, size_t length) override {
        std::memset(report, 0, length);
        report[1] = feature_echo;
        report[2] = 0xAB;
        return true;
    }
    void FlushInput() override {}

  private:
    Clock& clock_;
};

// A rig whose one instrument interface is a scripted model.
struct ScriptedRig : UsbRig {
    std::shared_ptr<ScriptedModel> model;
    explicit ScriptedRig(uint16_t release) : UsbRig(release) {
        model = std::make_shared<ScriptedModel>(clock);
        SimHidDevice d = Foreign("scripted", kVantrelVendorId, kVantrelProductId);
        d.attributes.version_number = release;
        d.model = model;
        port.AddDevice(d);
        EXPECT_TRUE(FindUSBDevice(nullptr, 0));
    }
    int Receive(uint8_t* out) {
        uint32_t length = 0;
        return GetUSBResponsePacket(out, &length);
    }
};

// --- discovery ---------------------------------------------------------------

TEST(UsbDiscovery, NothingPresentHoldsNothing) {
    UsbRig rig;
    rig.port.AddDevice(Foreign("mouse"));
    EXPECT_FALSE(FindUSBDevice(nullptr, 80));
    EXPECT_FALSE(USBLinkSelected());
    EXPECT_EQ(rig.port.OpenHandleCount(), 0u);
    EXPECT_EQ(rig.port.Counts().enumerations_ended, 1u);
    EXPECT_EQ(SendUSBPacket(reinterpret_cast<const uint8_t*>("\x48"), 1), 0);
    EXPECT_EQ(rig.port.Counts().writes, 0u);
}

TEST(UsbDiscovery, EnumerationIsTriedTwice) {
    {
        UsbRig rig;
        rig.port.FailEnumerations(1);
        EXPECT_TRUE(rig.Connect());
        EXPECT_EQ(rig.port.Counts().enumerations, 2u);
    }
    {
        UsbRig rig;
        rig.port.FailEnumerations(2);
        EXPECT_FALSE(rig.Connect());
        EXPECT_EQ(rig.port.Counts().enumerations, 2u);
        EXPECT_EQ(rig.port.Counts().opens, 0u);
    }
}

TEST(UsbDiscovery, SkipsWhatIsNotTheInstrumentAndClosesIt) {
    UsbRig rig;
    SimHidDevice keyboard = Foreign("keyboard");
    keyboard.open_fails = true;
    rig.port.AddDevice(keyboard);
    rig.port.AddDevice(Foreign("mouse"));
    SimHidDevice mute = Foreign("mute", kVantrelVendorId, kVantrelProductId);
    mute.attributes_fail = true;
    rig.port.AddDevice(mute);
    rig.port.AddDevice(Foreign("other product", kVantrelVendorId, 0x05C2));
    const int instrument = rig.port.AddInstrument(rig.instrument);
    // Enumerated after it: the instrument's IDs, but reports of other lengths
    // (another interface of a composite device, a look-alike), or lengths
    // that cannot be had.
    SimHidDevice other_reports = Foreign("other reports", kVantrelVendorId, kVantrelProductId);
    other_reports.caps = HidCaps{65, 65, 0};
    rig.port.AddDevice(other_reports);
    SimHidDevice unknown_reports = Foreign("unknown reports", kVantrelVendorId, kVantrelProductId);
    unknown_reports.caps_fail = true;
    rig.port.AddDevice(unknown_reports);
    rig.port.AddDevice(Foreign("after"));

    EXPECT_TRUE(FindUSBDevice(nullptr, 0));
    EXPECT_TRUE(USBLinkSelected());
    EXPECT_EQ(rig.port.Counts().opens, 7u);
    EXPECT_EQ(rig.port.Counts().closes, 6u);
    EXPECT_EQ(rig.port.Counts().bad_closes, 0u);
    ASSERT_EQ(rig.port.OpenHandleCount(), 1u);
    EXPECT_EQ(UsbDeviceRelease(), 2);
    // The one handle left open is the instrument's: it answers.
    (void)instrument;
    EXPECT_EQ(GetStatus(), 0u);
    EXPECT_EQ(GetLinkError(), 0u);
}

TEST(UsbDiscovery, LastInstrumentEnumeratedIsHeld) {
    UsbRig rig;
    sim::Instrument second;
    second.Config().usb_release = 7;
    rig.port.AddInstrument(rig.instrument, "first");
    rig.port.AddInstrument(second, "second");
    EXPECT_TRUE(FindUSBDevice(nullptr, 0));
    EXPECT_EQ(UsbDeviceRelease(), 7);
    EXPECT_EQ(rig.port.OpenHandleCount(), 1u);
    EXPECT_EQ(rig.port.Counts().closes, 1u);
    GetStatus();
    EXPECT_EQ(second.ExchangeCount(), 1u);
    EXPECT_EQ(rig.instrument.ExchangeCount(), 0u);
}

TEST(UsbDiscovery, NewSearchReleasesTheHeldDevice) {
    UsbRig rig;
    const int index = rig.port.AddInstrument(rig.instrument);
    ASSERT_TRUE(FindUSBDevice(nullptr, 0));
    ASSERT_TRUE(FindUSBDevice(nullptr, 0));
    EXPECT_EQ(rig.port.OpenHandleCount(), 1u);
    rig.port.Unplug(index);
    EXPECT_FALSE(FindUSBDevice(nullptr, 0));
    EXPECT_FALSE(USBLinkSelected());
    EXPECT_EQ(rig.port.OpenHandleCount(), 0u);
    EXPECT_EQ(rig.port.Counts().closes, rig.port.Counts().opens);
    // The completion records are made once for the run.
    EXPECT_EQ(rig.port.Counts().io_records, 2u);
}

TEST(UsbDiscovery, InputBufferCountIsLoweredToTheSmallestAccepted) {
    UsbRig rig;
    SimHidDevice d = Foreign("i", kVantrelVendorId, kVantrelProductId);
    d.input_buffers = 32;
    d.min_input_buffers = 3;
    rig.port.AddDevice(d);
    ASSERT_TRUE(FindUSBDevice(nullptr, 0));
    ASSERT_EQ(rig.port.OpenHandles().size(), 1u);
    uint32_t count = 0;
    ASSERT_TRUE(rig.port.GetNumInputBuffers(rig.port.OpenHandles()[0], &count));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(rig.port.Counts().set_input_buffers, 3u);  // 1 and 2 refused, 3 taken
}

TEST(UsbDiscovery, InputBufferCountLeftAloneWhenUnknownOrOne) {
    UsbRig rig;
    SimHidDevice one = Foreign("i", kVantrelVendorId, kVantrelProductId);
    one.input_buffers = 1;
    rig.port.AddDevice(one);
    SimHidDevice unknown = one;
    unknown.path = "j";
    unknown.input_buffers = 32;
    unknown.get_input_buffers_fails = true;
    rig.port.AddDevice(unknown);
    ASSERT_TRUE(FindUSBDevice(nullptr, 0));
    EXPECT_EQ(rig.port.Counts().set_input_buffers, 0u);
}

struct Fields {
    char buffers[kUsbIdentFieldCount][80];
    char* pointers[kUsbIdentFieldCount];
    Fields() {
        std::memset(buffers, '#', sizeof buffers);
        for (int i = 0; i < kUsbIdentFieldCount; ++i) {
            pointers[i] = buffers[i];
        }
    }
    std::string operator[](int i) const { return buffers[i]; }
};

TEST(UsbDiscovery, IdentificationStringsAreLabelledNarrowedAndCut) {
    UsbRig rig;
    SimHidDevice d = Foreign("i", kVantrelVendorId, kVantrelProductId);
    d.strings[1] = U16("Vantrel");
    d.strings[2] = U16(std::string(150, 'P'));        // longer than the 100-unit buffer
    d.strings[4] = std::u16string(u"\u0141\u00e9x");  // narrowed by the low byte
    d.strings[5] = U16(std::string(79 - 12, 'i'));    // "Interface = " + 67 fits exactly
    rig.port.AddDevice(d);
    Fields f;
    ASSERT_TRUE(FindUSBDevice(f.pointers, 80));
    EXPECT_EQ(f[0], "Language = <English>");
    EXPECT_EQ(f[1], "Maufacturer = Vantrel");
    EXPECT_EQ(f[2], "Product = " + std::string(79 - 10, 'P'));
    EXPECT_EQ(f[3], "Serial Number = <not found>");
    EXPECT_EQ(f[4], "Configuration = A\xe9x");
    EXPECT_EQ(f[5], "Interface = " + std::string(67, 'i'));
    // The language is never asked of the device.
    EXPECT_EQ(rig.port.Counts().string_reads, 5u);
}

TEST(UsbDiscovery, SmallAndZeroFieldSizes) {
    UsbRig rig;
    rig.port.AddInstrument(rig.instrument);
    Fields f;
    ASSERT_TRUE(FindUSBDevice(f.pointers, 5));
    EXPECT_EQ(std::string(f.buffers[0]), "Lang");
    EXPECT_EQ(std::string(f.buffers[2]), "Prod");
    EXPECT_EQ(f.buffers[0][5], '#');  // nothing written past the field

    Fields untouched;
    ASSERT_TRUE(FindUSBDevice(untouched.pointers, 0));
    EXPECT_EQ(untouched.buffers[0][0], '#');
    EXPECT_EQ(rig.port.Counts().string_reads, 5u);
}

// --- output reports --------------------------------------------------------

TEST(UsbSend, PacketGoesOutAsOneZeroPaddedReport) {
    UsbRig rig;
    ASSERT_TRUE(rig.Connect());
    const uint8_t packet[3] = {72, 0xAA, 0x55};
    EXPECT_EQ(SendUSBPacket(packet, 3), 257);
    std::vector<uint8_t> expected(257, 0);
    expected[1] = 72;
    expected[2] = 0xAA;
    expected[3] = 0x55;
    EXPECT_EQ(rig.port.LastWrittenReport(), expected);

    std::vector<uint8_t> largest(256, 0x5A);
    largest[0] = 72;
    EXPECT_EQ(SendUSBPacket(largest.data(), 256), 257);
    EXPECT_EQ(rig.port.LastWrittenReport().back(), 0x5A);

    std::vector<uint8_t> too_long(257, 1);
    const uint32_t writes = rig.port.Counts().writes;
    EXPECT_EQ(SendUSBPacket(too_long.data(), 257), 0);
    EXPECT_EQ(SendUSBPacket(too_long.data(), -1), 0);
    EXPECT_EQ(rig.port.Counts().writes, writes);
}

TEST(UsbSend, WriteOutcomes) {
    UsbRig rig;
    ASSERT_TRUE(rig.Connect());
    const uint8_t packet[1] = {72};

    rig.port.SetWritesCompleteAtOnce(true);
    EXPECT_EQ(SendUSBPacket(packet, 1), 257);

    // Refused at once (a real failure; the device gone): stop, with no wait
    // for an event that will not come.
    for (uint32_t error : {kHidErrorGenFailure, kHidErrorDeviceNotConnected}) {
        const uint64_t refused_at = rig.NowMs();
        rig.port.FailWrites(1, error);
        EXPECT_EQ(SendUSBPacket(packet, 1), 0);
        EXPECT_EQ(rig.NowMs(), refused_at) << error;
    }

    // Pending but never done: the 5 s wait runs out, nothing was written.
    const uint64_t start = rig.NowMs();
    const uint32_t cancels = rig.port.Counts().cancels;
    rig.port.FailWrites(1, kHidErrorIoPending);
    EXPECT_EQ(SendUSBPacket(packet, 1), 0);
    EXPECT_EQ(rig.NowMs() - start, 5000u);
    EXPECT_EQ(rig.port.Counts().cancels, cancels + 1);
}

// --- input-report response (release 2 and up) ------------------------------

// Release 2 and up answer in an input report; 0 and 1 by the ready flag, the
// queue flushed first, and a feature report.
TEST(UsbReceive, EachWayDeliversTheResponseBlock) {
    for (uint16_t release : {0, 1, 2}) {
        const uint32_t by_feature = release < 2 ? 1 : 0;
        UsbRig rig(release);
        rig.instrument.Config().status = 0x1234;
        ASSERT_TRUE(rig.Connect());
        const uint8_t packet[1] = {72};
        ASSERT_EQ(SendUSBPacket(packet, 1), 257);
        const uint32_t flushes = rig.port.Counts().flushes;
        uint8_t block[256];
        uint32_t length = 0;
        ASSERT_EQ(GetUSBResponsePacket(block, &length), 0) << release;
        EXPECT_EQ(length, 256u) << release;
        EXPECT_EQ(block[0], 72) << release;
        EXPECT_EQ(block[1], 0x12) << release;
        EXPECT_EQ(block[2], 0x34) << release;
        EXPECT_EQ(rig.port.Counts().flushes - flushes, by_feature) << release;
        EXPECT_EQ(rig.port.Counts().feature_fetches, by_feature) << release;
        EXPECT_EQ(rig.port.Counts().overlapping_reads, 0u) << release;
    }
}

TEST(UsbReceive, InputReportWayTimesOutAfterTenSeconds) {
    UsbRig rig(2);
    ASSERT_TRUE(rig.Connect());
    uint8_t block[256];
    std::memset(block, 0xEE, sizeof block);
    uint32_t length = 0;
    const uint64_t start = rig.NowMs();
    EXPECT_NE(GetUSBResponsePacket(block, &length), 0);  // nothing was asked
    EXPECT_EQ(rig.NowMs() - start, 10000u);
    EXPECT_EQ(block[0], 0xEE);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(rig.port.Counts().cancels, 1u);

    // A failed wait ends the exchange at once.
    rig.port.FailReadWaits(1, kHidErrorInvalidHandle);
    const uint64_t again = rig.NowMs();
    EXPECT_NE(GetUSBResponsePacket(block, &length), 0);
    EXPECT_EQ(rig.NowMs(), again);
}

// --- ready-flag response (release 0 and 1) ---------------------------------

TEST(UsbReceive, NotReadyPausesTenMsAndPollsAgain) {
    ScriptedRig rig(1);
    rig.model->status = {0x02, 0x02, 0xFE, 0x03};
    uint8_t block[256];
    const uint64_t start = rig.NowMs();
    ASSERT_EQ(rig.Receive(block), 0);
    EXPECT_EQ(rig.model->taken_at_ms,
              (std::vector<uint64_t>{start, start + 10, start + 20, start + 30}));
    EXPECT_EQ(rig.NowMs() - start, 30u);
    EXPECT_EQ(block[0], 72);
    EXPECT_EQ(block[1], 0xAB);
}

TEST(UsbReceive, ReadinessCountsOnlyUpToFourHundredPolls) {
    {
        ScriptedRig rig(1);
        rig.model->status = std::deque<uint8_t>(399, 0x00);
        rig.model->idle_status = 0x01;
        uint8_t block[256];
        EXPECT_EQ(rig.Receive(block), 0);
        EXPECT_EQ(rig.model->input_reports, 400);
    }
    {
        ScriptedRig rig(1);
        rig.model->status = std::deque<uint8_t>(400, 0x00);
        rig.model->idle_status = 0x01;
        uint8_t block[256];
        const uint64_t start = rig.NowMs();
        EXPECT_NE(rig.Receive(block), 0);
        EXPECT_EQ(rig.model->input_reports, 401);
        EXPECT_EQ(rig.NowMs() - start, 4000u);
        EXPECT_EQ(rig.port.Counts().feature_fetches, 0u);
    }
}

TEST(UsbReceive, SilentDeviceCostsFourHundredOneSecondPolls) {
    ScriptedRig rig(0);
    rig.model->silent = true;
    uint8_t block[256];
    const uint64_t start = rig.NowMs();
    EXPECT_NE(rig.Receive(block), 0);
    EXPECT_EQ(rig.NowMs() - start, 401u * 1000u);
    EXPECT_EQ(rig.port.Counts().reads, 401u);
    // Every outstanding read was cancelled before the next poll.
    EXPECT_EQ(rig.port.Counts().cancels, 401u);
    EXPECT_EQ(rig.port.Counts().overlapping_reads, 0u);
}

TEST(UsbReceive, FeatureFetchIsRetriedTwentyTimesWhilePending) {
    struct Case {
        uint32_t failures;
        uint32_t error;
        bool received;
        uint32_t fetches;
    };
    const Case cases[] = {
        {20, kHidErrorIoPending, true, 21},
        {21, kHidErrorIoPending, false, 21},
        {1, kHidErrorGenFailure, false, 1},  // not pending: stop at once
    };
    for (const Case& c : cases) {
        ScriptedRig rig(1);
        rig.model->idle_status = 0x01;
        rig.port.FailFeatures(c.failures, c.error);
        uint8_t block[256];
        EXPECT_EQ(rig.Receive(block) == 0, c.received) << c.failures << " failures";
        EXPECT_EQ(rig.port.Counts().feature_fetches, c.fetches) << c.failures << " failures";
    }
}

// The cable pulled out: every read and write is refused at once, and an
// exchange fails at once whichever way its response would come, with no
// time-out waited for (libusb pull request 664: "Windows 7 reports error code
// ERROR_DEVICE_NOT_CONNECTED if transfers fail due to unplugging the device").
TEST(UsbLink, PulledCableFailsEachExchangeAtOnce) {
    for (uint16_t release : {1, 2}) {
        SCOPED_TRACE(release);
        UsbRig rig(release);
        ASSERT_TRUE(rig.Connect());
        rig.port.Unplug(0);
        const uint64_t pulled_at = rig.NowMs();
        ClearLinkError();
        EXPECT_EQ(GetStatus(), 0u);
        EXPECT_EQ(GetLinkError(), kLinkErrorSend);
        uint8_t block[256];
        uint32_t length = 0;
        EXPECT_NE(GetUSBResponsePacket(block, &length), 0);
        EXPECT_EQ(rig.NowMs(), pulled_at);
        EXPECT_EQ(rig.port.Counts().feature_fetches, 0u);
    }
}

TEST(UsbLink, ResetReleasesDeviceAndRecords) {
    UsbRig rig;
    ASSERT_TRUE(rig.Connect());
    EXPECT_EQ(rig.port.Counts().io_records, 2u);
    ResetUsbLink();
    EXPECT_FALSE(USBLinkSelected());
    EXPECT_EQ(rig.port.OpenHandleCount(), 0u);
    EXPECT_EQ(rig.port.Counts().io_records, 0u);
}

}  // namespace
}  // namespace vtrl::test
