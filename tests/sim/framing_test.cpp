// The two framings over the model: serial echo framing with wire-time pacing
// on a virtual clock, and the two USB response ways; every fault kind through
// both.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/instrument.h"
#include "tests/sim/sim_test_util.h"

namespace vtrl::sim {
namespace {

using namespace vtrl::sim::testing;

constexpr uint64_t kSecondUs = 1000000;
// Wire time of n bytes, rounded up to the microsecond as the endpoint does.
uint64_t WireUs(uint64_t n) {
    return (n * SerialEndpoint::kByteTimeNs + 999) / 1000;
}

class SerialFraming : public ::testing::Test {
  protected:
    std::vector<uint8_t> Exchange(const std::vector<uint8_t>& request) {
        serial.HostWrite(request.data(), request.size());
        return DrainSerial(serial, clock, clock.NowUs() + 20 * kSecondUs);
    }

    VirtualClock clock;
    Instrument inst;
    SerialEndpoint serial{inst, clock};
};

TEST_F(SerialFraming, ClosingEchoOnlyForEmptyPayloadsAndMemoryCommands) {
    EXPECT_EQ(Exchange({72}), (std::vector<uint8_t>{72, 0, 0}));
    EXPECT_EQ(Exchange(SetValueReq(8, 0x80004)), (std::vector<uint8_t>{3, 3}));
    EXPECT_EQ(Exchange(WriteMemoryReq(kTransferBufferAddress, {9, 8})),
              (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(Exchange(ReadMemoryReq(kTransferBufferAddress, 2)),
              (std::vector<uint8_t>{1, 9, 8, 1}));
    const std::vector<uint8_t> full = Exchange(ReadMemoryReq(0x80000, 254));
    ASSERT_EQ(full.size(), 256u);
    EXPECT_EQ(full.front(), 1);
    EXPECT_EQ(full.back(), 1);
    EXPECT_EQ(Exchange(QueryValueReq(0)), (std::vector<uint8_t>{2, 0, 0, 0x03, 0xEE}));
}

TEST_F(SerialFraming, EveryByteCostsItsWireTimeBothWays) {
    const uint64_t start = clock.NowUs();
    serial.HostWrite(std::vector<uint8_t>{72}.data(), 1);
    // The reply's three bytes follow the request's one on the wire.
    EXPECT_EQ(serial.Pending(), 3u);
    uint8_t b[8];
    EXPECT_EQ(serial.HostRead(b, sizeof b), 0u) << "nothing has arrived at the start";
    EXPECT_EQ(serial.NextArrivalUs(), start + WireUs(2));
    clock.Advance(WireUs(4));
    EXPECT_EQ(serial.HostRead(b, sizeof b), 3u);

    // 256 request bytes and a 2-byte reply: about 44 ms of line time.
    const uint64_t t0 = clock.NowUs();
    const std::vector<uint8_t> reply =
        Exchange(WriteMemoryReq(kTransferBufferAddress, std::vector<uint8_t>(249, 1)));
    EXPECT_EQ(reply, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(clock.NowUs() - t0, WireUs(258));
}

TEST_F(SerialFraming, UnpacedRepliesArriveAtOnce) {
    SerialEndpoint fast(inst, clock, false);
    fast.HostWrite(std::vector<uint8_t>{72}.data(), 1);
    uint8_t b[8];
    EXPECT_EQ(fast.HostRead(b, sizeof b), 3u);
}

TEST_F(SerialFraming, UnknownCommandIsDroppedWithTheRestOfItsPacket) {
    // 99 is no command; its "arguments" must not be taken for commands
    // (72 would otherwise be answered).
    EXPECT_TRUE(Exchange({99, 72, 72, 2, 0, 0}).empty());
    EXPECT_EQ(inst.ExchangeCount(), 1u);
    EXPECT_TRUE(inst.Log().back().refused);
    clock.Advance(10000);  // the line falls quiet
    EXPECT_EQ(Exchange({72}), (std::vector<uint8_t>{72, 0, 0}));
}

TEST_F(SerialFraming, OversizedWriteIsRefusedAndDoesNotSwallowTheNextRequest) {
    std::vector<uint8_t> bad = WriteMemoryReq(kTransferBufferAddress, std::vector<uint8_t>(250));
    EXPECT_TRUE(Exchange(bad).empty());
    clock.Advance(100000);  // the rest of the packet is still on the line for 44 ms
    EXPECT_EQ(Exchange({72}), (std::vector<uint8_t>{72, 0, 0}));
}

TEST_F(SerialFraming, StalledPartialRequestIsForgotten) {
    serial.HostWrite(std::vector<uint8_t>{3, 8}.data(), 2);  // SetValue cut short
    clock.Advance(kSecondUs);
    EXPECT_EQ(Exchange({72}), (std::vector<uint8_t>{72, 0, 0}));
    EXPECT_EQ(inst.FlashAddress(), 0u);
}

TEST_F(SerialFraming, FaultsShowOnTheWire) {
    inst.AddFault({1, FaultKind::kNoReply});
    inst.AddFault({2, FaultKind::kWrongEcho});
    inst.AddFault({3, FaultKind::kShortPayload});
    inst.AddFault({4, FaultKind::kShortPayload});
    inst.AddFault({5, FaultKind::kWrongClosingEcho});
    inst.AddFault({6, FaultKind::kLateReply, 1, 3000});
    EXPECT_TRUE(Exchange(SetValueReq(8, 0x90000)).empty());
    EXPECT_EQ(inst.FlashAddress(), 0x90000u) << "a lost reply still acted on";
    EXPECT_EQ(Exchange({72}), (std::vector<uint8_t>{73, 0, 0}));
    EXPECT_EQ(Exchange(QueryValueReq(0)), (std::vector<uint8_t>{2, 0, 0, 3}));
    EXPECT_EQ(Exchange(ReadMemoryReq(kRamBase, 2)), (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(Exchange(SetValueReq(1, 0)), (std::vector<uint8_t>{3, 4}));
    const uint64_t t0 = clock.NowUs();
    EXPECT_EQ(Exchange({72}), (std::vector<uint8_t>{72, 0, 0}));
    EXPECT_EQ(clock.NowUs() - t0, 3000000 + WireUs(4));
}

TEST_F(SerialFraming, ProgrammingMismatchCountsOnlyItsCommand) {
    inst.AddFault({2, FaultKind::kProgramMismatch, 1, 0, 15});
    Exchange(RemoteModeReq(1));
    Exchange(OneArgReq(16, 7));
    Exchange(WriteMemoryReq(kTransferBufferAddress, std::vector<uint8_t>(8, 0x11)));
    Exchange(SetValueReq(8, 0x80000));
    EXPECT_EQ(Exchange(OneArgReq(15, 4)), (std::vector<uint8_t>{15, 0, 4}));
    Exchange(SetValueReq(8, 0x80008));
    EXPECT_EQ(Exchange(OneArgReq(15, 4)), (std::vector<uint8_t>{15, 0, 3}));
    EXPECT_EQ(inst.FlashWord(0x80008), 0xFFFF) << "the mismatched reply programmed nothing";
    EXPECT_EQ(Exchange(OneArgReq(15, 4)), (std::vector<uint8_t>{15, 0, 4}));
    EXPECT_EQ(inst.FlashWord(0x80008), 0x1111);
}

TEST_F(SerialFraming, ResetAndCut) {
    Exchange(RemoteModeReq(1));
    Exchange(SetValueReq(42, 1));
    inst.AddFault({3, FaultKind::kInstrumentReset});
    inst.AddFault({5, FaultKind::kHostCut});
    EXPECT_TRUE(Exchange({72}).empty());
    EXPECT_FALSE(inst.RemoteMode());
    EXPECT_FALSE(inst.CalibrationWriteAllowed());
    EXPECT_EQ(inst.ResetCount(), 1u);
    EXPECT_TRUE(inst.MarkersValid()) << "flash survives a reset";
    EXPECT_EQ(Exchange({72}).size(), 3u);
    EXPECT_TRUE(Exchange(RemoteModeReq(1)).empty());
    EXPECT_TRUE(inst.LinkCut());
    EXPECT_FALSE(inst.RemoteMode()) << "the cut request never reached the instrument";
    EXPECT_TRUE(Exchange({72}).empty());
    EXPECT_EQ(inst.ExchangeCount(), 5u);
    inst.ClearFaults();
    EXPECT_EQ(Exchange({72}).size(), 3u);
}

// --- USB ---------------------------------------------------------------

class UsbFraming : public ::testing::Test {
  protected:
    bool Send(const std::vector<uint8_t>& packet) {
        uint8_t report[257] = {};
        if (packet.size() > 256) {
            ADD_FAILURE() << "a packet of " << packet.size() << " bytes does not fit a report";
            return false;
        }
        std::memcpy(report + 1, packet.data(), packet.size());
        return usb.OutputReport(report, sizeof report);
    }
    // Input-report way: the 256 response bytes, or empty after the 10 s wait.
    std::vector<uint8_t> Receive() {
        uint8_t report[259];
        if (!usb.InputReport(report, sizeof report, clock.NowUs() + 10 * kSecondUs)) {
            return {};
        }
        return {report + 3, report + 259};
    }
    // Ready-flag way as the host runs it: flush, poll, fetch the feature.
    std::vector<uint8_t> ReceiveByFlag(int* polls) {
        usb.FlushInput();
        uint8_t report[259];
        for (*polls = 1; *polls <= 400; ++*polls) {
            const bool got = usb.InputReport(report, sizeof report, clock.NowUs() + kSecondUs);
            if (got && (report[1] & 1)) {
                uint8_t feature[257];
                if (!usb.FeatureReport(feature, sizeof feature)) {
                    return {};
                }
                return {feature + 1, feature + 257};
            }
            if (got) {
                clock.SleepMs(10);
            }
        }
        return {};
    }

    VirtualClock clock;
    Instrument inst;
    UsbEndpoint usb{inst, clock};
};

TEST_F(UsbFraming, InputReportWayCarriesTheResponseFromByte3) {
    ASSERT_EQ(usb.ReleaseNumber(), 2);
    ASSERT_TRUE(Send(QueryValueReq(0)));
    const std::vector<uint8_t> r = Receive();
    ASSERT_EQ(r.size(), 256u);
    EXPECT_EQ(r[0], 2);
    EXPECT_EQ((std::vector<uint8_t>{r[1], r[2], r[3], r[4]}),
              (std::vector<uint8_t>{0, 0, 3, 0xEE}));
    EXPECT_EQ(clock.NowUs(), UsbEndpoint::kResponseLatencyUs);
    EXPECT_TRUE(Receive().empty()) << "one report per request";
    EXPECT_EQ(clock.NowUs(), UsbEndpoint::kResponseLatencyUs + 10 * kSecondUs);
}

TEST_F(UsbFraming, ReportLengthsAndIdAreChecked) {
    uint8_t report[259] = {};
    EXPECT_FALSE(usb.OutputReport(report, 256));
    report[0] = 1;
    EXPECT_FALSE(usb.OutputReport(report, 257));
    EXPECT_EQ(inst.ExchangeCount(), 0u);
    report[0] = 0;
    report[1] = 72;
    EXPECT_TRUE(usb.OutputReport(report, 257));
    EXPECT_FALSE(usb.InputReport(report, 258, clock.NowUs() + kSecondUs));
    EXPECT_TRUE(Receive().at(0) == 72);
    // Anything but zeros after the row's arguments: a request the instrument refuses.
    for (size_t stray : {2u, 4u, 256u}) {
        std::fill(report, report + sizeof report, 0);
        report[1] = 2;  // QueryValue: two argument bytes
        report[stray] = 1;
        EXPECT_TRUE(usb.OutputReport(report, 257));
        EXPECT_EQ(Receive().empty(), stray > 3) << stray;
        EXPECT_EQ(inst.Log().back().refused, stray > 3);
    }
}

TEST_F(UsbFraming, ReadyFlagWayForReleasesZeroAndOne) {
    for (uint16_t release : {0, 1}) {
        inst.Config().usb_release = release;
        ASSERT_TRUE(Send(ReadMemoryReq(kCalibrationAddress, 254)));
        int polls = 0;
        const std::vector<uint8_t> r = ReceiveByFlag(&polls);
        ASSERT_EQ(r.size(), 256u) << release;
        EXPECT_EQ(r[0], 1);
        EXPECT_EQ(std::vector<uint8_t>(r.begin() + 1, r.end() - 1),
                  inst.ReadFlash(kCalibrationAddress, 254));
    }
}

TEST_F(UsbFraming, StaleStatusWithoutFlushAndNoFeatureBeforeReady) {
    inst.Config().usb_release = 1;
    inst.AddFault({2, FaultKind::kLateReply, 1, 50});
    Send({72});
    clock.Advance(100000);  // the response is ready; status reports pile up
    Send(QueryValueReq(0));
    uint8_t feature[257];
    EXPECT_FALSE(usb.FeatureReport(feature, sizeof feature)) << "not ready yet";
    uint8_t report[259];
    ASSERT_TRUE(usb.InputReport(report, sizeof report, clock.NowUs() + kSecondUs));
    EXPECT_EQ(report[1] & 1, 1) << "a queued report from before the request";
    usb.FlushInput();
    ASSERT_TRUE(usb.InputReport(report, sizeof report, clock.NowUs() + kSecondUs));
    EXPECT_EQ(report[1] & 1, 0);
}

TEST_F(UsbFraming, FaultsThroughBothResponseWays) {
    for (uint16_t release : {1, 2}) {
        SCOPED_TRACE(release);
        inst.Reset();
        inst.Config().usb_release = release;
        inst.AddFault({1, FaultKind::kNoReply});
        inst.AddFault({2, FaultKind::kWrongEcho});
        inst.AddFault({3, FaultKind::kShortPayload});
        inst.AddFault({4, FaultKind::kLateReply, 1, 3000});
        inst.AddFault({5, FaultKind::kInstrumentReset});
        inst.AddFault({6, FaultKind::kHostCut});
        auto receive = [&]() {
            int polls = 0;
            return release >= 2 ? Receive() : ReceiveByFlag(&polls);
        };
        Send(QueryValueReq(0));
        EXPECT_TRUE(receive().empty());
        Send(QueryValueReq(0));
        EXPECT_EQ(receive().at(0), 3);
        Send(QueryValueReq(0));
        std::vector<uint8_t> r = receive();
        EXPECT_EQ((std::vector<uint8_t>{r.at(0), r[1], r[2], r[3], r[4]}),
                  (std::vector<uint8_t>{2, 0, 0, 3, 0}));
        const uint64_t t0 = clock.NowUs();
        Send({72});
        EXPECT_EQ(receive().at(0), 72);
        EXPECT_GE(clock.NowUs() - t0, 3000000u);
        EXPECT_LT(clock.NowUs() - t0, 3100000u);
        Send(RemoteModeReq(1));
        EXPECT_TRUE(receive().empty());
        EXPECT_EQ(inst.ResetCount(), 1u);
        EXPECT_FALSE(Send({72}));
        EXPECT_TRUE(inst.LinkCut());
        EXPECT_FALSE(Send({72}));
        EXPECT_EQ(inst.ExchangeCount(), 6u);
    }
}

TEST_F(UsbFraming, ProgrammingMismatchThroughUsb) {
    inst.AddFault({1, FaultKind::kProgramMismatch, 2, 0, 15});
    Send(RemoteModeReq(1));
    Receive();
    Send(OneArgReq(16, 7));
    Receive();
    for (uint32_t off : {0u, 249u}) {
        Send(WriteMemoryReq(kTransferBufferAddress + off, std::vector<uint8_t>(249, 0)));
        Receive();
    }
    Send(SetValueReq(8, 0x80000));
    Receive();
    for (uint16_t expect : {248, 248, 249}) {
        Send(OneArgReq(15, 249));
        const std::vector<uint8_t> r = Receive();
        EXPECT_EQ((r.at(1) << 8) | r.at(2), expect);
    }
    EXPECT_EQ(inst.FlashAddress(), 0x80000u);
    EXPECT_EQ(inst.ReadFlash(0x80000, 498), std::vector<uint8_t>(498, 0));
}

// The ready-flag way's own faults: the flag stays down for the given number
// of status reports once the response is ready, or the response's feature
// report cannot be had; either hits its exchange only.  NextInputUs says
// when the next report can be taken, never too early.
TEST_F(UsbFraming, NotReadyAndFeatureFailHitTheirExchangeOnly) {
    inst.Config().usb_release = 1;
    Fault not_ready{1, FaultKind::kNotReady};
    not_ready.reports = 3;
    inst.AddFault(not_ready);
    inst.AddFault({2, FaultKind::kFeatureFail});
    Send({72});
    usb.FlushInput();
    std::vector<int> flags;
    uint8_t report[259];
    for (int i = 0; i < 5; ++i) {
        const uint64_t next = usb.NextInputUs();
        EXPECT_FALSE(next > clock.NowUs() && usb.InputReport(report, sizeof report, next - 1));
        ASSERT_TRUE(usb.InputReport(report, sizeof report, next));
        flags.push_back(report[1] & 1);
    }
    EXPECT_EQ(flags, (std::vector<int>{0, 0, 0, 1, 1}));
    uint8_t feature[257];
    EXPECT_TRUE(usb.FeatureReport(feature, sizeof feature));
    Send({72});
    int polls = 0;
    EXPECT_TRUE(ReceiveByFlag(&polls).empty()) << "the feature report was given";
    Send({72});
    EXPECT_EQ(ReceiveByFlag(&polls).at(0), 72);
}

TEST_F(UsbFraming, LateReplyBeyondTheWaitIsStillDeliveredLater) {
    inst.AddFault({1, FaultKind::kLateReply, 1, 12000});
    Send({72});
    EXPECT_TRUE(Receive().empty());
    EXPECT_EQ(Receive().at(0), 72) << "the stale response is still queued";
}

}  // namespace
}  // namespace vtrl::sim

namespace vtrl::sim {
namespace {

using namespace vtrl::sim::testing;

TEST(BusyTimes, EraseAndProgrammingDelayTheAnswerOnBothLinks) {
    VirtualClock clock;
    InstrumentConfig config;
    config.erase_time_ms = 700;
    config.program_word_time_us = 20;
    Instrument inst(config);
    inst.Handle(RemoteModeReq(1));
    SerialEndpoint serial(inst, clock);
    const std::vector<uint8_t> erase = OneArgReq(16, 7);
    serial.HostWrite(erase.data(), erase.size());
    EXPECT_EQ(DrainSerial(serial, clock, UINT64_MAX), (std::vector<uint8_t>{16, 0, 1}));
    EXPECT_EQ(clock.NowUs(), 700000 + WireUs(6));

    // A refused erase costs nothing.
    const uint64_t t0 = clock.NowUs();
    const std::vector<uint8_t> refused = OneArgReq(16, 0);
    serial.HostWrite(refused.data(), refused.size());
    EXPECT_EQ(DrainSerial(serial, clock, UINT64_MAX), (std::vector<uint8_t>{16, 0, 0}));
    EXPECT_EQ(clock.NowUs() - t0, WireUs(6));

    UsbEndpoint usb(inst, clock);
    uint8_t report[259] = {};
    const std::vector<uint8_t> set = SetValueReq(8, 0x80000);
    std::copy(set.begin(), set.end(), report + 1);
    ASSERT_TRUE(usb.OutputReport(report, 257));
    ASSERT_TRUE(usb.InputReport(report, sizeof report, clock.NowUs() + kSecondUs));
    std::fill(report, report + sizeof report, 0);
    const std::vector<uint8_t> program = OneArgReq(15, 249);
    std::copy(program.begin(), program.end(), report + 1);
    const uint64_t t1 = clock.NowUs();
    ASSERT_TRUE(usb.OutputReport(report, 257));
    ASSERT_TRUE(usb.InputReport(report, sizeof report, clock.NowUs() + kSecondUs));
    EXPECT_EQ(report[5], 249);
    EXPECT_EQ(clock.NowUs() - t1, UsbEndpoint::kResponseLatencyUs + 249 * 20);
}

}  // namespace
}  // namespace vtrl::sim
