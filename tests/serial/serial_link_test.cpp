// The serial link against simulated ports on a virtual clock: the set-up
// sequence and which of its failures count, the send with its drain and its
// give-up on a port that stops taking bytes, the three reply framings and the
// 1000-read reply budget.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "driver/program_state.h"
#include "link/serial_link.h"
#include "link/serial_port.h"
#include "sim/clock.h"
#include "sim/sim_serial_port.h"
#include "tests/common/test_hooks.h"

namespace vtrl {
namespace {

using sim::SerialCall;
using Bytes = std::vector<uint8_t>;

class SerialLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetClock(&clock_);
        SetSerialPort(&ports_);
        ResetProgramState();
    }
    void TearDown() override {
        ResetProgramState();
        SetSerialPort(nullptr);
        SetClock(nullptr);
    }

    // COM n present and opened by the link.
    void OpenPort(uint32_t port_number) {
        ports_.AddPort(port_number);
        SetCommPortIndex(static_cast<int>(port_number) - 1);
        ASSERT_TRUE(InitCommLink(true));
        ports_.ClearTrace();
    }

    std::vector<std::string> TraceCalls() const { return ports_.Trace(); }

    sim::VirtualClock clock_;
    sim::SimSerialPort ports_{clock_};
};

TEST_F(SerialLinkTest, OpenNamesThePortAndSetsItUpInOrder) {
    ports_.AddPort(3);
    SetCommPortIndex(2);
    ASSERT_TRUE(InitCommLink(true));

    EXPECT_EQ(ports_.DeviceNames(), std::vector<std::string>{"\\\\.\\COM3"});
    EXPECT_EQ(ports_.ModeStrings(), std::vector<std::string>{"COM3:57600,n,8,1"});
    EXPECT_EQ(TraceCalls(),
              (std::vector<std::string>{"Open COM3", "BuildLineSettings COM3", "SetTimeouts COM3",
                                        "ApplyLineSettings COM3", "QueryProperties COM3",
                                        "SetQueueSizes COM3", "SetEventMask COM3"}));
    const CommTimeouts t = ports_.Timeouts(3);
    EXPECT_EQ(t.read_interval_ms, 0xFFFFFFFFu);
    EXPECT_EQ(t.read_total_multiplier_ms, 0u);
    EXPECT_EQ(t.read_total_constant_ms, 10u);
    EXPECT_EQ(t.write_total_multiplier_ms, 0u);
    EXPECT_EQ(t.write_total_constant_ms, 10u);
    const LineSettings line = ports_.AppliedLineSettings(3);
    EXPECT_EQ(line.baud_rate, 57600u);
    EXPECT_EQ(line.data_bits, 8);
    EXPECT_EQ(line.parity, 'n');
    EXPECT_EQ(line.stop_bits, 1);
    EXPECT_EQ(ports_.QueueInputSize(3), 512u);
    EXPECT_EQ(ports_.QueueOutputSize(3), 512u);
    EXPECT_EQ(ports_.EventMask(3), 0x18u);
    EXPECT_TRUE(CommPortOpen());
    EXPECT_EQ(clock_.NowUs(), 0u);
}

// Only the device open, the mode string and the time-outs can fail the open;
// past the device open the handle stays held with the port not open.
TEST_F(SerialLinkTest, SetUpFailuresThatCountAndThoseTolerated) {
    struct Case {
        SerialCall step;
        bool opens;
        bool held;
    };
    const Case cases[] = {
        {SerialCall::kOpen, false, false},          {SerialCall::kBuildLineSettings, false, true},
        {SerialCall::kSetTimeouts, false, true},    {SerialCall::kApplyLineSettings, true, true},
        {SerialCall::kQueryProperties, true, true}, {SerialCall::kSetQueueSizes, true, true},
        {SerialCall::kSetEventMask, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::SerialCallName(c.step));
        ResetSerialLink();
        ports_.RemovePort(1);
        ports_.AddPort(1);
        ports_.FailCall(1, c.step);
        SetCommPortIndex(0);
        EXPECT_EQ(InitCommLink(true), c.opens);
        EXPECT_EQ(CommPortOpen(), c.opens);
        EXPECT_EQ(CommPortHeld(), c.held);
        EXPECT_EQ(ports_.IsOpen(1), c.held);

        // A held port that is not set up takes no packet: nothing read or written.
        const uint32_t reads = ports_.Counts().reads;
        const uint32_t writes = ports_.Counts().writes;
        const uint8_t packet[] = {72};
        EXPECT_EQ(SendCommPacket(packet, 1), c.opens);
        if (!c.opens) {
            EXPECT_EQ(ports_.Counts().reads, reads);
            EXPECT_EQ(ports_.Counts().writes, writes);
        }
        EXPECT_EQ(CloseCommPort(), c.held);
        EXPECT_FALSE(ports_.IsOpen(1));
    }
    EXPECT_EQ(ports_.Counts().bad_handle_calls, 0u);
    EXPECT_EQ(ports_.OpenHandleCount(), 0u);
}

TEST_F(SerialLinkTest, InitWithoutForceLeavesAnOpenPortAlone) {
    OpenPort(1);
    EXPECT_TRUE(InitCommLink(false));
    EXPECT_TRUE(TraceCalls().empty());

    EXPECT_TRUE(InitCommLink(true));
    ASSERT_FALSE(TraceCalls().empty());
    EXPECT_EQ(TraceCalls().front(), "Close COM1");
    EXPECT_EQ(TraceCalls()[1], "Open COM1");
    EXPECT_EQ(ports_.Counts().opens, 2u);
    EXPECT_EQ(ports_.OpenHandleCount(), 1u);
}

TEST_F(SerialLinkTest, OpenClosesAHeldPortFirstEvenWhenNotSetUp) {
    ports_.AddPort(1);
    ports_.AddPort(2);
    ports_.FailCall(1, SerialCall::kSetTimeouts);
    SetCommPortIndex(0);
    ASSERT_FALSE(InitCommLink(true));
    ASSERT_TRUE(CommPortHeld());

    ports_.ClearTrace();
    SetCommPortIndex(1);
    EXPECT_TRUE(InitCommLink(false));  // not open yet, so it opens
    ASSERT_GE(TraceCalls().size(), 2u);
    EXPECT_EQ(TraceCalls()[0], "Close COM1");
    EXPECT_EQ(TraceCalls()[1], "Open COM2");
    EXPECT_FALSE(ports_.IsOpen(1));
    EXPECT_TRUE(ports_.IsOpen(2));
}

TEST_F(SerialLinkTest, AbsentPortAndCloseWithNothingHeld) {
    EXPECT_FALSE(CloseCommPort());
    SetCommPortIndex(0);
    EXPECT_FALSE(InitCommLink(true));
    EXPECT_FALSE(CommPortHeld());
    EXPECT_EQ(ports_.DeviceNames(), std::vector<std::string>{"\\\\.\\COM1"});
    EXPECT_TRUE(ports_.ModeStrings().empty());

    OpenPort(2);
    EXPECT_TRUE(CloseCommPort());
    EXPECT_FALSE(CloseCommPort());
    EXPECT_EQ(ports_.Counts().closes, 1u);
    EXPECT_EQ(ports_.Counts().bad_closes, 0u);
}

TEST_F(SerialLinkTest, SendLengthLimits) {
    OpenPort(1);
    Bytes packet(257);
    std::iota(packet.begin(), packet.end(), 0);
    ports_.QueueInput(1, {0xEE});

    EXPECT_FALSE(SendCommPacket(packet.data(), 257));
    EXPECT_FALSE(SendCommPacket(packet.data(), -1));
    EXPECT_EQ(ports_.Counts().reads, 0u);
    EXPECT_EQ(ports_.Counts().writes, 0u);

    EXPECT_TRUE(SendCommPacket(packet.data(), 256));
    EXPECT_EQ(ports_.Written(1), Bytes(packet.begin(), packet.begin() + 256));

    ports_.ClearWritten(1);
    ports_.QueueInput(1, {0xEE});
    EXPECT_TRUE(SendCommPacket(packet.data(), 0));
    EXPECT_TRUE(ports_.Written(1).empty());
    EXPECT_EQ(ports_.UnreadInput(1), 0u);  // drained all the same
}

TEST_F(SerialLinkTest, SendDrainsLeftoversOneByteAtATime) {
    OpenPort(1);
    ports_.QueueInput(1, {1, 0x55, 1});  // a closing echo and more nobody read
    const uint8_t packet[] = {72};
    ASSERT_TRUE(SendCommPacket(packet, 1));
    EXPECT_EQ(ports_.UnreadInput(1), 0u);
    EXPECT_EQ(ports_.Counts().reads, 4u);  // three bytes, then the read that finds none
    EXPECT_EQ(ports_.Counts().bytes_read, 3u);
    EXPECT_EQ(ports_.Written(1), Bytes{72});
}

TEST_F(SerialLinkTest, ShortWritesAreCompleted) {
    OpenPort(1);
    ports_.LimitWriteChunk(1, 7);
    Bytes packet(256);
    std::iota(packet.begin(), packet.end(), 0);
    ASSERT_TRUE(SendCommPacket(packet.data(), 256));
    EXPECT_EQ(ports_.Written(1), packet);
    EXPECT_EQ(ports_.Counts().writes, 37u);  // 36 of 7 bytes and one of 4
}

// An adapter pulled out mid-packet: the send must end, false, after about a
// second, whether its writes wait out their time-out or fail at once.
TEST_F(SerialLinkTest, SendGivesUpOnAPortThatStopsTakingBytes) {
    for (bool writes_fail : {false, true}) {
        SCOPED_TRACE(writes_fail ? "writes fail at once" : "writes take nothing");
        ResetSerialLink();
        ports_.RemovePort(1);
        OpenPort(1);
        ports_.StopTakingBytes(1, 10, writes_fail);
        const uint64_t start = clock_.NowMs();
        const uint32_t stalled_before = ports_.Counts().stalled_writes;
        Bytes packet(100, 0xA5);
        EXPECT_FALSE(SendCommPacket(packet.data(), 100));
        EXPECT_EQ(ports_.Written(1).size(), 10u);
        EXPECT_GT(ports_.Counts().stalled_writes - stalled_before, 1u) << "given up at once";
        // About a second of a dead port, no less and no more.
        EXPECT_GE(clock_.NowMs() - start, 1000u);
        EXPECT_LE(clock_.NowMs() - start, 1100u);
    }
}

// A port whose output queue is full for a while is waited for.
TEST_F(SerialLinkTest, StalledWritesAreWaitedForWithinTheBudget) {
    OpenPort(1);
    const uint8_t packet[] = {2, 0, 0};
    // 99 write time-outs of 10 ms: just within the second.
    ports_.StallWrites(1, kCommWriteStallMs / kCommTimeoutMs - 1);
    EXPECT_TRUE(SendCommPacket(packet, 3));
    EXPECT_EQ(ports_.Written(1), (Bytes{2, 0, 0}));
    EXPECT_EQ(clock_.NowMs(), 10u + kCommWriteStallMs - kCommTimeoutMs);  // drain, stalls
}

struct FramingCase {
    const char* name;
    uint8_t command;
    int length;
    Bytes wire;
    bool ok;
    size_t left_unread;  // bytes the receive must not have consumed
};

TEST_F(SerialLinkTest, ReplyFramings) {
    Bytes read_memory_reply(256, 1);  // 1, 254 data bytes, 1
    std::iota(read_memory_reply.begin() + 1, read_memory_reply.end() - 1, 2);

    const FramingCase cases[] = {
        {"GetStatus: echo and two bytes", 72, 2, {72, 0x12, 0x34, 0x99}, true, 1},
        {"QueryValue: echo and four bytes", 2, 4, {2, 0, 0, 3, 0xEE}, true, 0},
        {"ReadMemory: echo, data, closing echo", 1, 254, read_memory_reply, true, 0},
        {"WriteMemory: two echoes", 0, 0, {0, 0}, true, 0},
        {"SetValue: two echoes", 3, 0, {3, 3}, true, 0},
        {"wrong first byte", 0, 0, {5, 0}, false, 1},
        {"wrong closing echo after a full payload", 1, 2, {1, 0xAB, 0xCD, 2}, false, 0},
        {"wrong closing echo of an empty reply", 3, 0, {3, 4}, false, 0},
    };
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetSerialLink();
        ports_.RemovePort(1);
        OpenPort(1);
        ports_.QueueInput(1, c.wire);
        Bytes buffer(256, 0xFF);
        EXPECT_EQ(GetCommResponsePacket(buffer.data(), c.command, c.length), c.ok);
        EXPECT_EQ(ports_.UnreadInput(1), c.left_unread);
        if (c.ok) {
            const size_t skip = 1;
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.length),
                      Bytes(c.wire.begin() + skip, c.wire.begin() + skip + c.length));
            EXPECT_EQ(buffer[c.length], 0xFF) << "written past the payload";
        }
    }
}

TEST_F(SerialLinkTest, ReceiveRefusesBadLengthsAndAMissingPort) {
    uint8_t buffer[300] = {};
    EXPECT_FALSE(GetCommResponsePacket(buffer, 72, 2));  // nothing held
    OpenPort(1);
    ports_.QueueInput(1, Bytes(260, 1));
    EXPECT_FALSE(GetCommResponsePacket(buffer, 1, 257));
    EXPECT_FALSE(GetCommResponsePacket(buffer, 1, -1));
    EXPECT_EQ(ports_.Counts().reads, 0u);
    EXPECT_EQ(clock_.NowUs(), 0u);
}

TEST_F(SerialLinkTest, SilentInstrumentCostsExactlyTheReplyBudget) {
    OpenPort(1);
    uint8_t buffer[4];
    EXPECT_FALSE(GetCommResponsePacket(buffer, 72, 2));
    EXPECT_EQ(ports_.Counts().reads, kCommReplyBudget);
    EXPECT_EQ(clock_.NowMs(), 10000u);
}

// One budget runs through echo, payload and closing echo; every payload read
// counts, and a payload completed by the read that reaches the limit fails.
TEST_F(SerialLinkTest, ReplyBudgetSpansAllPhases) {
    for (uint32_t empty_before_echo : {997u, 998u}) {
        SCOPED_TRACE(empty_before_echo);
        ResetSerialLink();
        ports_.RemovePort(1);
        OpenPort(1);
        const uint32_t reads_before = ports_.Counts().reads;
        // The echo comes just after the empty reads; each payload byte 5 ms later.
        ports_.QueueInput(1, {72}, empty_before_echo * 10 + 1);
        ports_.QueueInput(1, {0x12}, empty_before_echo * 10 + 6);
        ports_.QueueInput(1, {0x34}, empty_before_echo * 10 + 11);
        uint8_t buffer[2] = {};
        const bool ok = GetCommResponsePacket(buffer, 72, 2);
        // 997 empty + 2 payload reads = 999 counted: in budget; 998 + 2 reaches it.
        EXPECT_EQ(ok, empty_before_echo == 997u);
        EXPECT_EQ(ports_.Counts().reads - reads_before, empty_before_echo + 3);
    }
}

TEST_F(SerialLinkTest, ClosingEchoWaitCountsTowardsTheBudget) {
    OpenPort(1);
    ports_.QueueInput(1, {3});  // SetValue's echo, the closing one never comes
    uint8_t buffer[1];
    EXPECT_FALSE(GetCommResponsePacket(buffer, 3, 0));
    EXPECT_EQ(ports_.Counts().reads, 1u + kCommReplyBudget);
}

TEST_F(SerialLinkTest, FlushDiscardsPendingInputAndIsFreeWithNoPort) {
    FlushCommInput();
    EXPECT_EQ(ports_.Counts().reads, 0u);

    OpenPort(2);
    ports_.QueueInput(2, {9, 8, 7});
    FlushCommInput();
    EXPECT_EQ(ports_.UnreadInput(2), 0u);
    EXPECT_EQ(ports_.Counts().reads, 4u);
}

// A line that never stops delivering must not hold the program for ever.
TEST_F(SerialLinkTest, DrainOfAChatteringLineEnds) {
    OpenPort(1);
    ports_.SetEndlessInput(1, 0x55);
    FlushCommInput();
    EXPECT_GT(ports_.Counts().bytes_read, 512u) << "more than a queue's worth is drained";
    const uint8_t packet[] = {72};
    EXPECT_TRUE(SendCommPacket(packet, 1));
    EXPECT_EQ(ports_.Written(1), Bytes{72});
}

}  // namespace
}  // namespace vtrl
