// The retry rule of the instrument operations, against a scripted protocol
// layer whose attempts fail or succeed on demand; pauses run on a virtual clock.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "protocol/operations.h"
#include "protocol/protocol.h"
#include "tests/protocol/scripted_protocol.h"

namespace vtrl {
namespace {

using test::Script;

class Operations : public ::testing::Test {
  protected:
    void SetUp() override {
        test::ResetScript();
        ResetOperationsState();
    }
    static void FailNext(int count, uint32_t code = kLinkErrorNoReply) {
        for (int i = 0; i < count; ++i) {
            Script().errors.push_back(code);
        }
    }
};

struct RetriedCase {
    const char* name;
    std::function<uint32_t()> run;  // the result as a number (bools as 0/1)
    const char* attempt;            // the event each attempt records
    bool raises_flag;
    int calls = 1;  // one-attempt calls per attempt
};

std::vector<RetriedCase> RetriedCases() {
    static const uint8_t data[4] = {1, 2, 3, 4};
    static uint8_t into[4];
    return {
        {"QueryValueRetried", [] { return QueryValueRetried(4, 0); }, "QueryValue(4,0)", true},
        {"SetValueRetried", [] { return uint32_t{SetValueRetried(8, 0x80004)}; },
         "SetValue(8,524292)", true},
        {"ProgramWordAtRetried", [] { return ProgramWordAtRetried(0x80000, 0x1234); },
         "SetValue(8,524288)", true, 2},
        {"EraseSectorRetried", [] { return EraseSectorRetried(7); }, "EraseFlashSector(7)", true},
        {"ProgramFromBufferRetried", [] { return ProgramFromBufferRetried(249); },
         "ProgramFlashFromBuffer(249)", true},
        // The words are asked for only once the address went through.
        {"ProgramFromBufferAtRetried", [] { return ProgramFromBufferAtRetried(0x80004, 249); },
         "SetValue(8,524292)", true, 2},
        {"WriteMemoryRetried", [] { return uint32_t{WriteMemoryRetried(data, 0x10200, 4)}; },
         "WriteMemory(66048,4)", false},
        {"ReadMemoryRetried", [] { return uint32_t{ReadMemoryRetried(0xCFC00, into, 4)}; },
         "ReadMemory(850944,4)", false},
    };
}

TEST_F(Operations, TwoFailuresThenSuccessCostTwoRetriesAndTwoPauses) {
    for (const RetriedCase& c : RetriedCases()) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (int attempt = 0; attempt < 2; ++attempt) {
            // The last call of an attempt fails (ProgramWordAt: the word, not the address).
            for (int call = 1; call < c.calls; ++call) {
                Script().errors.push_back(0);
            }
            FailNext(1);
        }
        Script().default_result = 0x1FA;  // what the third attempt answers
        const uint32_t result = c.run();
        if (std::string(c.name).find("Memory") != std::string::npos ||
            std::string(c.name) == "SetValueRetried") {
            EXPECT_EQ(result, 1u);
        } else {
            EXPECT_EQ(result, 0x1FAu);
        }
        EXPECT_EQ(Script().Count(c.attempt), 3);
        EXPECT_EQ(RetryCount(), 2);
        EXPECT_FALSE(FailureFlag());
        EXPECT_EQ(Script().virtual_ms, 200u);
        EXPECT_EQ(GetLinkError(), 0u);
    }
}

TEST_F(Operations, NeverSucceedingGivesUpAfterTenAttemptsWithTheLinkErrorCleared) {
    for (const RetriedCase& c : RetriedCases()) {
        SCOPED_TRACE(c.name);
        SetUp();
        FailNext(100);
        Script().default_result = 77;
        EXPECT_EQ(c.run(), 0u);
        EXPECT_EQ(Script().Count(c.attempt), 10);
        EXPECT_EQ(RetryCount(), 10);
        EXPECT_EQ(FailureFlag(), c.raises_flag);
        EXPECT_EQ(GetLinkError(), 0u);
        EXPECT_EQ(Script().virtual_ms, 1000u);
        // Every failure is cleared before the pause that follows it.
        const std::vector<std::string>& e = Script().events;
        ASSERT_GE(e.size(), 3u);
        EXPECT_EQ(e[e.size() - 2], "ClearLinkError");
        EXPECT_EQ(e.back(), "Delay(100)");
    }
}

TEST_F(Operations, OnlySetValueClearsALeftoverLinkErrorBeforeItsFirstAttempt) {
    Script().link_error = kLinkErrorNoReply;  // left by an earlier one-attempt call
    EXPECT_TRUE(SetValueRetried(1, 0x80004));
    EXPECT_EQ(RetryCount(), 0);
    EXPECT_EQ(Script().virtual_ms, 0u);

    Script().link_error = kLinkErrorNoReply;
    Script().default_result = 0x10200;
    EXPECT_EQ(QueryValueRetried(4, 0), 0x10200u);
    EXPECT_EQ(Script().Count("QueryValue"), 2);  // the leftover spoiled the first
    EXPECT_EQ(RetryCount(), 1);
    EXPECT_EQ(Script().virtual_ms, 100u);
}

TEST_F(Operations, RetryCounterWrapsAtSixteenBits) {
    for (int i = 0; i < 65535; ++i) {
        CountRetry();
    }
    EXPECT_EQ(RetryCount(), 65535);
    FailNext(1);
    EraseSectorRetried(8);
    EXPECT_EQ(RetryCount(), 0);
}

TEST_F(Operations, PingPausesBeforeEveryAttemptAndStartsWithAClearFlagAndCounter) {
    FailNext(10);
    EXPECT_FALSE(EraseSectorRetried(9));
    ASSERT_TRUE(FailureFlag());
    ASSERT_EQ(RetryCount(), 10);

    Script().events.clear();
    Script().virtual_ms = 0;
    FailNext(1);
    EXPECT_TRUE(PingInstrument());
    EXPECT_FALSE(FailureFlag());
    EXPECT_EQ(RetryCount(), 1);
    EXPECT_EQ(Script().virtual_ms, 200u);
    const std::vector<std::string> expected = {"ClearLinkError", "Delay(100)", "QueryValue(0,0)",
                                               "ClearLinkError", "Delay(100)", "QueryValue(0,0)"};
    EXPECT_EQ(Script().events, expected);
}

TEST_F(Operations, FailedPingClearsAnEarlierFlagAndLeavesItsLinkErrorSet) {
    FailNext(10);
    QueryValueRetried(7, 0);
    ASSERT_TRUE(FailureFlag());

    FailNext(10, kLinkErrorSend);
    EXPECT_FALSE(PingInstrument());
    EXPECT_FALSE(FailureFlag());
    EXPECT_EQ(GetLinkError(), kLinkErrorSend);
    EXPECT_EQ(RetryCount(), 10);
    EXPECT_EQ(Script().Count("QueryValue(0,0)"), 10);
}

TEST_F(Operations, ProgramWordAtSendsTheWordOnlyOnceTheAddressWentThrough) {
    ProgramWordAt(0x80002, 0xA5A5);
    const std::vector<std::string> expected = {"SetValue(8,524290)", "ProgramFlashWord(42405)"};
    EXPECT_EQ(Script().events, expected);

    SetUp();
    FailNext(1);  // the address is lost: the word would land wherever the last one did
    EXPECT_EQ(ProgramWordAt(0x80002, 0xA5A5), 0u);
    EXPECT_EQ(Script().events, std::vector<std::string>{"SetValue(8,524290)"});
    EXPECT_EQ(GetLinkError(), kLinkErrorNoReply);
}

TEST_F(Operations, ProgramFlashBlockReissuesTheAddressAndTheProgrammingCommandNotTheData) {
    const std::vector<uint8_t> block(498, 0x5C);
    // WriteMemory, SetValue, mismatch, SetValue, match
    Script().results = {0, 0, 248, 0, 249};
    EXPECT_TRUE(ProgramFlashBlock(block.data(), 498, 0x10200, 0x80004));
    EXPECT_EQ(Script().Count("WriteMemory(66048,498)"), 1);
    EXPECT_EQ(Script().Count("SetValue(8,524292)"), 2);
    EXPECT_EQ(Script().Count("ProgramFlashFromBuffer(249)"), 2);
    EXPECT_EQ(RetryCount(), 1);

    SetUp();
    Script().default_result = 13;  // never the 14 words asked for
    EXPECT_FALSE(ProgramFlashBlock(block.data(), 28, 0x10200, 0xCFFE4));
    EXPECT_EQ(Script().Count("ProgramFlashFromBuffer(14)"), 10);
    EXPECT_EQ(RetryCount(), 10);
    EXPECT_FALSE(FailureFlag());
}

TEST_F(Operations, ProgramFlashBlockStopsWhenAStepGivesUp) {
    const std::vector<uint8_t> block(498, 0);
    FailNext(10);  // the transfer into the buffer never goes through
    EXPECT_FALSE(ProgramFlashBlock(block.data(), 498, 0x10200, 0x80004));
    EXPECT_EQ(Script().Count("SetValue"), 0);

    SetUp();
    Script().results = {0};  // WriteMemory
    Script().errors = {0, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6};
    EXPECT_FALSE(ProgramFlashBlock(block.data(), 498, 0x10200, 0x80004));
    EXPECT_TRUE(FailureFlag());
    EXPECT_EQ(Script().Count("ProgramFlashFromBuffer"), 0);

    SetUp();
    Script().errors = {0};  // WriteMemory
    for (int attempt = 0; attempt < 10; ++attempt) {
        Script().errors.push_back(0);  // the address goes through
        FailNext(1);                   // the programming command does not
    }
    // It gives up after its own ten attempts: no further re-issue.
    EXPECT_FALSE(ProgramFlashBlock(block.data(), 498, 0x10200, 0x80004));
    EXPECT_EQ(Script().Count("ProgramFlashFromBuffer"), 10);
    EXPECT_TRUE(FailureFlag());
}

TEST_F(Operations, ProgramFlashBlockRefusesBlocksTheBufferCannotTake) {
    const std::vector<uint8_t> block(500, 0);
    EXPECT_FALSE(ProgramFlashBlock(block.data(), 500, 0x10200, 0x80004));
    EXPECT_FALSE(ProgramFlashBlock(block.data(), 27, 0x10200, 0x80004));
    EXPECT_FALSE(ProgramFlashBlock(block.data(), 0, 0x10200, 0x80004));
    EXPECT_FALSE(ProgramFlashBlock(nullptr, 2, 0x10200, 0x80004));
    EXPECT_TRUE(Script().events.empty());
}

TEST_F(Operations, InstrumentCrcIsTheLowHalfOfQuerySevenOverTheSetRange) {
    Script().results = {0, 0, 0xABCD1234};
    uint16_t crc = 0;
    EXPECT_TRUE(GetInstrumentCRC(0x80004, 0xBFFFF, &crc));
    EXPECT_EQ(crc, 0x1234);
    const std::vector<std::string> expected = {"ClearLinkError", "SetValue(1,524292)",
                                               "ClearLinkError", "SetValue(2,786431)",
                                               "QueryValue(7,0)"};
    EXPECT_EQ(Script().events, expected);

    SetUp();
    Script().errors = {0};
    FailNext(10);  // the end address never goes through
    crc = 0x5555;
    EXPECT_FALSE(GetInstrumentCRC(0x80004, 0xBFFFF, &crc));
    EXPECT_EQ(crc, 0x5555);
    EXPECT_EQ(Script().Count("QueryValue"), 0);
}

}  // namespace
}  // namespace vtrl
