// The packet protocol against the instrument stand-in over the simulated USB
// link (both response ways) and, where the framing matters, the serial link.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "driver/program_state.h"
#include "link/serial_port.h"
#include "sim/sim_serial_port.h"
#include "tests/usb/usb_test_rig.h"

namespace vtrl::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return b;
}

uint32_t Be32(const Bytes& b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
           b[at + 3];
}
uint16_t Be16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

class Protocol : public ::testing::TestWithParam<uint16_t> {
  protected:
    UsbRig rig{GetParam()};
    void SetUp() override { ASSERT_TRUE(rig.Connect()); }
};

INSTANTIATE_TEST_SUITE_P(BothResponseWays, Protocol, ::testing::Values(1, 2), [](const auto& info) {
    return info.param > 1 ? std::string("InputReport") : std::string("ReadyFlag");
});

// --- requests on the wire ---------------------------------------------------

TEST_P(Protocol, EachCommandGoesOutAsItsRowSays) {
    struct Case {
        const char* name;
        uint32_t (*call)();
        Bytes request;
    };
    const Case cases[] = {
        {"QueryValue", [] { return QueryValue(0x1FF, 0x302); }, {2, 0xFF, 0x02}},
        {"SetValue restart", [] { return SetValue(6, 0xFFFF0); }, {3, 6, 0x00, 0x0F, 0xFF, 0xF0}},
        {"SetValue address", [] { return SetValue(0x108, 0x80004); }, {3, 8, 0, 8, 0, 4}},
        {"ProgramFlashWord", [] { return ProgramFlashWord(0x1A5A5); }, {14, 0xA5, 0xA5}},
        {"ProgramFlashFromBuffer", [] { return ProgramFlashFromBuffer(249); }, {15, 0, 249}},
        {"EraseFlashSector", [] { return EraseFlashSector(0x10007); }, {16, 0, 7}},
        {"SetRemoteMode",
         [] { return SetRemoteMode(0x101, 0x2FF, 0x3ABCD); },
         {71, 1, 0xFF, 0xAB, 0xCD}},
        {"GetStatus", [] { return GetStatus(); }, {72}},
    };
    for (const Case& c : cases) {
        const size_t before = rig.port.WrittenReports().size();
        c.call();
        ASSERT_EQ(rig.port.WrittenReports().size(), before + 1) << c.name;
        const Bytes& report = rig.port.LastWrittenReport();
        ASSERT_EQ(report.size(), 257u) << c.name;
        EXPECT_EQ(report[0], 0) << c.name;
        EXPECT_EQ(Bytes(report.begin() + 1, report.begin() + 1 + c.request.size()), c.request)
            << c.name;
        EXPECT_EQ(std::accumulate(report.begin() + 1 + c.request.size(), report.end(), 0), 0)
            << c.name << ": padding";
    }
}

TEST_P(Protocol, ResultsAreReassembledMostSignificantFirst) {
    rig.instrument.Config().status = 0x1234;
    ClearLinkError();
    EXPECT_EQ(QueryValue(0, 0), 1006u);
    EXPECT_EQ(GetStatus(), 0x1234u);
    EXPECT_EQ(QueryValue(4, 0), sim::kTransferBufferAddress);
    // No result width: 0 on success, only the link error tells.
    EXPECT_EQ(SetValue(8, 0x80000), 0u);
    EXPECT_EQ(GetLinkError(), 0u);
    EXPECT_EQ(rig.instrument.FlashAddress(), 0x80000u);
}

TEST_P(Protocol, CommandNumbersPastTheTableAreRefused) {
    for (uint32_t command : {103u, 255u, 0xFFFFFFFFu}) {
        ClearLinkError();
        EXPECT_EQ(RemoteCall(command, 1, 2, 3), 0u);
        EXPECT_EQ(GetLinkError(), kLinkErrorSend);
    }
    EXPECT_TRUE(rig.port.WrittenReports().empty());
    // The last row is still a command.
    ClearLinkError();
    RemoteCall(102);
    EXPECT_EQ(rig.port.WrittenReports().size(), 1u);
}

// --- bulk transfers ------------------------------------------------------------

struct Transfer {
    uint16_t count;
    std::vector<uint16_t> chunks;
};

TEST_P(Protocol, WriteMemoryChunksAt249Bytes) {
    const Transfer transfers[] = {
        {1, {1}}, {249, {249}}, {250, {249, 1}}, {498, {249, 249}}, {499, {249, 249, 1}}};
    for (const Transfer& t : transfers) {
        rig.port.ClearWritten();
        const uint32_t address = sim::kTransferBufferAddress + t.count % 3;
        const Bytes data = Pattern(t.count, static_cast<uint8_t>(t.count));
        ClearLinkError();
        WriteMemory(data.data(), address, t.count);
        ASSERT_EQ(GetLinkError(), 0u) << t.count;
        EXPECT_EQ(rig.instrument.ReadRam(address, t.count), data) << t.count;

        ASSERT_EQ(rig.port.WrittenReports().size(), t.chunks.size()) << t.count;
        uint32_t offset = 0;
        for (size_t i = 0; i < t.chunks.size(); ++i) {
            const uint16_t n = t.chunks[i];
            const Bytes p = rig.Packet(i, 7u + n);
            EXPECT_EQ(p[0], kCmdWriteMemory);
            EXPECT_EQ(Be32(p, 1), address + offset);
            EXPECT_EQ(Be16(p, 5), n);
            EXPECT_EQ(Bytes(p.begin() + 7, p.end()),
                      Bytes(data.begin() + offset, data.begin() + offset + n));
            offset += n;
        }
    }
    // 249 bytes fill the 256-byte packet to its last byte.
    EXPECT_NE(rig.port.WrittenReports()[0][256], 0);
}

TEST_P(Protocol, ReadMemoryChunksAt254Bytes) {
    const Transfer transfers[] = {{254, {254}}, {255, {254, 1}}, {1024, {254, 254, 254, 254, 8}}};
    for (const Transfer& t : transfers) {
        rig.port.ClearWritten();
        const Bytes expected = rig.instrument.ReadFlash(sim::kCalibrationAddress, t.count);
        Bytes got(t.count + 1, 0xEE);
        ClearLinkError();
        ReadMemory(sim::kCalibrationAddress, got.data(), t.count);
        ASSERT_EQ(GetLinkError(), 0u) << t.count;
        EXPECT_EQ(Bytes(got.begin(), got.end() - 1), expected) << t.count;
        EXPECT_EQ(got.back(), 0xEE) << "written past the destination";

        ASSERT_EQ(rig.port.WrittenReports().size(), t.chunks.size()) << t.count;
        uint32_t offset = 0;
        for (size_t i = 0; i < t.chunks.size(); ++i) {
            const Bytes p = rig.Packet(i, 7);
            EXPECT_EQ(p[0], kCmdReadMemory);
            EXPECT_EQ(Be32(p, 1), sim::kCalibrationAddress + offset);
            EXPECT_EQ(Be16(p, 5), t.chunks[i]);
            offset += t.chunks[i];
        }
    }
}

TEST_P(Protocol, CountZeroSendsNothingAndKeepsTheError) {
    RaiseLinkError(kLinkErrorNoReply);
    uint8_t byte = 0;
    WriteMemory(&byte, sim::kTransferBufferAddress, 0);
    ReadMemory(sim::kTransferBufferAddress, &byte, 0);
    EXPECT_TRUE(rig.port.WrittenReports().empty());
    EXPECT_EQ(GetLinkError(), kLinkErrorNoReply);
}

TEST_P(Protocol, FailedChunkStopsTheTransfer) {
    const Bytes data = Pattern(600, 3);  // three chunks
    rig.instrument.AddFault({2, sim::FaultKind::kNoReply, 1, 0, kCmdWriteMemory});
    ClearLinkError();
    WriteMemory(data.data(), sim::kTransferBufferAddress, 600);
    EXPECT_EQ(GetLinkError(), kLinkErrorWriteMemory);
    EXPECT_EQ(rig.port.WrittenReports().size(), 2u);

    rig.port.ClearWritten();
    rig.instrument.AddFault({2, sim::FaultKind::kWrongEcho, 1, 0, kCmdReadMemory});
    Bytes got(600);
    ClearLinkError();
    ReadMemory(sim::kCalibrationAddress, got.data(), 600);
    EXPECT_EQ(GetLinkError(), kLinkErrorReadMemory);
    EXPECT_EQ(rig.port.WrittenReports().size(), 2u);

    // A chunk the link would not send ends the same way.
    rig.port.ClearWritten();
    rig.port.FailWrites(1, kHidErrorGenFailure);
    ClearLinkError();
    WriteMemory(data.data(), sim::kTransferBufferAddress, 600);
    EXPECT_EQ(GetLinkError(), kLinkErrorWriteMemory);
    EXPECT_EQ(rig.port.WrittenReports().size(), 1u);
}

// --- faults and the sticky code ---------------------------------------------------

TEST_P(Protocol, EveryInstrumentFaultReachesTheCallerAsItsLinkError) {
    struct Case {
        sim::FaultKind kind;
        uint32_t delay_ms;
        uint32_t link_error;
    };
    const Case cases[] = {
        {sim::FaultKind::kNoReply, 0, kLinkErrorNoReply},
        {sim::FaultKind::kWrongEcho, 0, kLinkErrorNoReply},
        {sim::FaultKind::kInstrumentReset, 0, kLinkErrorNoReply},
        {sim::FaultKind::kLateReply, 300, kLinkErrorNone},
        // Later than either way waits (input report 10 s; 400 polls).
        {sim::FaultKind::kLateReply, 20000, kLinkErrorNoReply},
        {sim::FaultKind::kHostCut, 0, kLinkErrorSend},
    };
    for (const Case& c : cases) {
        rig.instrument.ClearFaults();
        rig.instrument.AddFault({rig.instrument.ExchangeCount() + 1, c.kind, 1, c.delay_ms, -1});
        ClearLinkError();
        const uint64_t start = rig.NowMs();
        const uint32_t version = QueryValue(0, 0);
        EXPECT_EQ(GetLinkError(), c.link_error) << sim::FaultKindName(c.kind) << c.delay_ms;
        EXPECT_EQ(version, c.link_error == 0 ? 1006u : 0u) << sim::FaultKindName(c.kind);
        if (c.kind == sim::FaultKind::kLateReply && c.link_error == 0) {
            EXPECT_GE(rig.NowMs() - start, c.delay_ms);
        }
    }
}

TEST_P(Protocol, ReplyThatCameTooLateIsNotTakenForTheNextOne) {
    // The first chunk's reply comes after its exchange gave up; by the time
    // the caller asks again (its retry pause) it sits in the input queue.
    rig.instrument.AddFault({1, sim::FaultKind::kLateReply, 1, 10500, kCmdReadMemory});
    Bytes first(16);
    ClearLinkError();
    ReadMemory(sim::kCalibrationAddress, first.data(), 16);
    EXPECT_EQ(GetLinkError(), kLinkErrorReadMemory);
    rig.clock.Advance(1000 * 1000);

    Bytes second(16);
    ClearLinkError();
    ReadMemory(sim::kCalibrationAddress + 0x100, second.data(), 16);
    EXPECT_EQ(GetLinkError(), 0u);
    EXPECT_EQ(second, rig.instrument.ReadFlash(sim::kCalibrationAddress + 0x100, 16));
}

TEST_P(Protocol, ProgrammingMismatchIsAResultNotALinkError) {
    rig.instrument.AddFault(
        {1, sim::FaultKind::kProgramMismatch, 1, 0, kCmdProgramFlashFromBuffer});
    ClearLinkError();
    EXPECT_EQ(ProgramFlashFromBuffer(4), 3u);
    EXPECT_EQ(GetLinkError(), 0u);
}

TEST_P(Protocol, LinkErrorIsStickyUntilCleared) {
    rig.instrument.AddFault({1, sim::FaultKind::kWrongEcho, 1, 0, -1});
    ClearLinkError();
    EXPECT_EQ(GetStatus(), 0u);
    EXPECT_EQ(GetLinkError(), kLinkErrorNoReply);
    EXPECT_EQ(QueryValue(0, 0), 1006u);            // succeeds ...
    EXPECT_EQ(GetLinkError(), kLinkErrorNoReply);  // ... and clears nothing
    ClearLinkError();
    EXPECT_EQ(GetLinkError(), 0u);
}

TEST_P(Protocol, NoReplyFlagSendsAndReadsNothing) {
    ClearLinkError();
    SetNoReplyFlag(true);
    EXPECT_EQ(SetValue(6, 0xFFFF0), 0u);
    SetNoReplyFlag(false);
    EXPECT_EQ(GetLinkError(), 0u);
    EXPECT_EQ(rig.port.Counts().writes, 1u);
    EXPECT_EQ(rig.port.Counts().reads, 0u);
    EXPECT_EQ(rig.port.Counts().feature_fetches, 0u);
    EXPECT_EQ(rig.instrument.RestartCount(), 1u);
    EXPECT_EQ(rig.instrument.RestartAddress(), 0xFFFF0u);
}

// --- the serial link ------------------------------------------------------------------

// With no USB device held the same calls go over the serial port.
class SerialProtocol : public ::testing::Test {
  protected:
    sim::VirtualClock clock;
    sim::Instrument instrument;
    sim::SimSerialPort port{clock};
    void SetUp() override {
        SetClock(&clock);
        SetHidPort(nullptr);
        ResetProgramState();
        SetSerialPort(&port);
        port.ConnectInstrument(1, instrument);
        ASSERT_TRUE(OpenCommPort(kCommBaudRate, 0));
        ASSERT_FALSE(USBLinkSelected());
    }
    void TearDown() override {
        ResetProgramState();
        SetSerialPort(nullptr);
        SetClock(nullptr);
    }
};

TEST_F(SerialProtocol, RequestsAndRepliesKeepTheirFraming) {
    ClearLinkError();
    SetValue(8, 0xCFC00);
    EXPECT_EQ(port.Written(1), (Bytes{3, 8, 0x00, 0x0C, 0xFC, 0x00}));
    EXPECT_EQ(GetLinkError(), 0u);
    EXPECT_EQ(QueryValue(0, 0), 1006u);

    const Bytes data = Pattern(255, 9);
    WriteMemory(data.data(), sim::kTransferBufferAddress, 255);
    Bytes back(255);
    ReadMemory(sim::kTransferBufferAddress, back.data(), 255);
    EXPECT_EQ(GetLinkError(), 0u);
    EXPECT_EQ(back, data);
}

TEST_F(SerialProtocol, SerialOnlyFaultsRaiseNoReply) {
    for (sim::FaultKind kind : {sim::FaultKind::kShortPayload, sim::FaultKind::kWrongClosingEcho}) {
        instrument.ClearFaults();
        instrument.AddFault({instrument.ExchangeCount() + 1, kind, 1, 0, -1});
        ClearLinkError();
        Bytes got(16);
        ReadMemory(sim::kCalibrationAddress, got.data(), 16);
        EXPECT_EQ(GetLinkError(), kLinkErrorReadMemory) << sim::FaultKindName(kind);
    }
    instrument.ClearFaults();
    instrument.AddFault({instrument.ExchangeCount() + 1, sim::FaultKind::kShortPayload, 1, 0, -1});
    ClearLinkError();
    EXPECT_EQ(GetStatus(), 0u);
    EXPECT_EQ(GetLinkError(), kLinkErrorNoReply);
    // The port is drained after the failure: the next exchange is clean.
    ClearLinkError();
    EXPECT_EQ(QueryValue(0, 0), 1006u);
    EXPECT_EQ(GetLinkError(), 0u);
}

TEST_F(SerialProtocol, NothingOpenMeansSendFailed) {
    ResetSerialLink();
    ClearLinkError();
    GetStatus();
    EXPECT_EQ(GetLinkError(), kLinkErrorSend);
}

}  // namespace
}  // namespace vtrl::test
