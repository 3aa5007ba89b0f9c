// The instrument model at command level: flash rules, sector permissions,
// registers, version, request lengths and refusals.
#include "sim/instrument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/image.h"
#include "tests/sim/sim_test_util.h"

namespace vtrl::sim {
namespace {

using namespace vtrl::sim::testing;

bool Erased(const std::vector<uint8_t>& bytes) {
    return !bytes.empty() &&
           std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

// An instrument in remote mode, as the host leaves it before erasing or
// programming; the exchanges are counted from there.
class InstrumentTest : public ::testing::Test {
  protected:
    InstrumentTest() { Enter(); }
    void Enter() {
        inst.Handle(RemoteModeReq(1));
        inst.ClearLog();
        base_exchanges = inst.ExchangeCount();
    }

    Instrument::Reply Call(const std::vector<uint8_t>& request) { return inst.Handle(request); }
    uint32_t Value(const std::vector<uint8_t>& request) {
        const Instrument::Reply r = Call(request);
        EXPECT_TRUE(r.answered);
        return ValueOf(r);
    }
    // Places `bytes` in the transfer buffer and programs them at `address`.
    uint32_t ProgramBlock(uint32_t address, const std::vector<uint8_t>& bytes) {
        for (size_t off = 0; off < bytes.size(); off += 249) {
            const size_t n = std::min<size_t>(249, bytes.size() - off);
            EXPECT_TRUE(Call(WriteMemoryReq(kTransferBufferAddress + static_cast<uint32_t>(off),
                                            {bytes.begin() + off, bytes.begin() + off + n}))
                            .answered);
        }
        Call(SetValueReq(8, address));
        return Value(OneArgReq(15, static_cast<uint16_t>(bytes.size() / 2)));
    }

    Instrument inst;
    uint32_t base_exchanges = 0;
};

TEST_F(InstrumentTest, FactoryStateIsAValidProgramWithCalibration) {
    EXPECT_TRUE(inst.MarkersValid());
    EXPECT_EQ(Value(QueryValueReq(0)), 1006u);
    const std::vector<uint8_t> record = inst.ReadFlash(kCalibrationAddress, kCalibrationSize);
    EXPECT_TRUE(CalibrationRecordValid(record.data(), record.size()));
    // The calibration record reads back through ReadMemory in pieces.
    const Instrument::Reply r = Call(ReadMemoryReq(kCalibrationAddress, 254));
    ASSERT_EQ(r.bytes.size(), 255u);
    EXPECT_TRUE(std::equal(r.bytes.begin() + 1, r.bytes.end(), record.begin()));
}

TEST_F(InstrumentTest, NorRulesEraseSetsOnesAndProgrammingOnlyClearsBits) {
    inst.WriteFlashRaw(0x90000, {0x0F, 0xF0});
    EXPECT_EQ(Value(OneArgReq(16, 8)), 1u);
    EXPECT_EQ(inst.FlashWord(0x90000), 0xFFFF);
    EXPECT_EQ(inst.FlashWord(0x9FFFE), 0xFFFF);

    Call(SetValueReq(8, 0x90000));
    EXPECT_EQ(Value(OneArgReq(14, 0x1234)), 1u);
    EXPECT_EQ(inst.FlashWord(0x90000), 0x1234);
    // Programming the same value again is fine: no bit has to rise.
    EXPECT_EQ(Value(OneArgReq(14, 0x1234)), 1u);
    // 0x1234 -> 0x1236 needs bit 1 to rise: a failure that keeps what could be cleared.
    EXPECT_EQ(Value(OneArgReq(14, 0x0236)), 0u);
    EXPECT_EQ(inst.FlashWord(0x90000), 0x0234);
    EXPECT_EQ(inst.FlashAddress(), 0x90000u) << "a failed word leaves the flash address";
}

// The flash address stays where selector 8 put it, unless the instrument is
// one that advances it, and then only past a command that programmed all.
TEST_F(InstrumentTest, ProgramFromBufferReportsWordsProgrammedAndMovesOnlyWhenAdvancing) {
    for (bool advancing : {false, true}) {
        SCOPED_TRACE(advancing);
        InstrumentConfig config;
        config.advance_flash_address = advancing;
        inst.Reset(config);
        Enter();
        Call(OneArgReq(16, 9));
        std::vector<uint8_t> block(498);
        for (size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<uint8_t>(i * 7);
        }
        EXPECT_EQ(ProgramBlock(0xA0000, block), 249u);
        EXPECT_EQ(inst.FlashAddress(), advancing ? 0xA0000u + 498 : 0xA0000u);
        EXPECT_EQ(inst.ReadFlash(0xA0000, 498), block);
        EXPECT_EQ(Value(OneArgReq(14, 0x0101)), advancing ? 1u : 0u)
            << "a second word lands after the block or on its first word";
        EXPECT_EQ(inst.FlashAddress(), advancing ? 0xA0000u + 500 : 0xA0000u);

        // Word 3 of this block cannot be programmed over what is there now.
        inst.WriteFlashRaw(0xA1006, {0x00, 0x00});
        std::vector<uint8_t> second(20, 0x55);
        EXPECT_EQ(ProgramBlock(0xA1000, second), 3u);
        EXPECT_EQ(inst.FlashAddress(), 0xA1000u);
        EXPECT_EQ(inst.FlashWord(0xA1004), 0x5555);
        EXPECT_EQ(inst.FlashWord(0xA1008), 0xFFFF) << "nothing after the failed word";
    }
}

TEST_F(InstrumentTest, SectorZeroChangesOnlyUnderSelector42) {
    const std::vector<uint8_t> record = inst.ReadFlash(kCalibrationAddress, 16);
    EXPECT_EQ(Value(OneArgReq(16, 0)), 0u);
    EXPECT_EQ(inst.ReadFlash(kCalibrationAddress, 16), record);
    Call(SetValueReq(8, 0xC0000));
    EXPECT_EQ(Value(OneArgReq(14, 0x0000)), 0u);
    EXPECT_NE(inst.FlashWord(0xC0000), 0x0000);

    Call(SetValueReq(42, 1));
    EXPECT_TRUE(inst.CalibrationWriteAllowed());
    EXPECT_EQ(Value(OneArgReq(16, 0)), 1u);
    EXPECT_EQ(inst.FlashWord(kCalibrationAddress), 0xFFFF);
    EXPECT_EQ(Value(OneArgReq(14, 0xBEEF)), 1u);
    EXPECT_EQ(inst.FlashWord(0xC0000), 0xBEEF);

    Call(SetValueReq(42, 0));
    EXPECT_EQ(ProgramBlock(0xC0010, {1, 2, 3, 4}), 0u);
    // A block that runs from sector 10 into sector 0 is refused whole.
    Call(OneArgReq(16, 10));
    EXPECT_EQ(ProgramBlock(0xBFFFC, {1, 2, 3, 4, 5, 6, 7, 8}), 0u);
    EXPECT_EQ(inst.FlashWord(0xBFFFC), 0xFFFF);
    Call(SetValueReq(42, 1));
    EXPECT_EQ(ProgramBlock(0xBFFFC, {1, 2, 3, 4, 5, 6, 7, 8}), 4u);
}

TEST_F(InstrumentTest, BootBlockAndUnknownSectorsAreNeverWritable) {
    Call(SetValueReq(42, 1));
    const std::vector<uint8_t> boot = inst.ReadFlash(0xD0000, 0x30000);
    for (uint16_t sector : {1, 2, 3, 4, 5, 6, 11, 12, 0xFFFF}) {
        EXPECT_EQ(Value(OneArgReq(16, sector)), 0u) << sector;
    }
    for (uint32_t address : {0xD0000u, 0xFFFF0u, 0xCFFFEu + 2, 0x7FFFEu, 0x80001u}) {
        Call(SetValueReq(8, address));
        EXPECT_EQ(Value(OneArgReq(14, 0)), 0u) << std::hex << address;
    }
    EXPECT_EQ(ProgramBlock(0xCFFFE, {0, 0, 0, 0}), 0u) << "a block running into the boot block";
    EXPECT_EQ(inst.ReadFlash(0xD0000, 0x30000), boot);
    EXPECT_TRUE(inst.Log().back().refused);
}

TEST_F(InstrumentTest, WriteMemoryReachesRamOnlyAndTheTransferBufferHolds498Bytes) {
    EXPECT_EQ(Value(QueryValueReq(4)), kTransferBufferAddress);
    std::vector<uint8_t> block(498, 0xA7);
    EXPECT_TRUE(Call(WriteMemoryReq(kTransferBufferAddress, {block.begin(), block.begin() + 249}))
                    .answered);
    EXPECT_TRUE(
        Call(WriteMemoryReq(kTransferBufferAddress + 249, {block.begin() + 249, block.end()}))
            .answered);
    EXPECT_EQ(inst.ReadRam(kTransferBufferAddress, 498), block);

    const std::vector<uint8_t> before = inst.ReadFlash(0x80000, 8);
    for (uint32_t address : {0x80000u, 0xCFC00u, kRamBase - 1, kRamBase + kRamSize - 3, 0u}) {
        const Instrument::Reply r = Call(WriteMemoryReq(address, {1, 2, 3, 4}));
        EXPECT_FALSE(r.answered) << std::hex << address;
        EXPECT_TRUE(inst.Log().back().refused);
    }
    EXPECT_EQ(inst.ReadFlash(0x80000, 8), before);
}

TEST_F(InstrumentTest, ReadMemoryCoversRamAndFlashButNothingElse) {
    EXPECT_EQ(Call(ReadMemoryReq(0xFFFFF - 253, 254)).bytes.size(), 255u);
    EXPECT_EQ(Call(ReadMemoryReq(kRamBase, 16)).bytes.size(), 17u);
    EXPECT_FALSE(Call(ReadMemoryReq(0xFFFFF - 252, 254)).answered) << "runs past flash";
    EXPECT_FALSE(Call(ReadMemoryReq(0x70000, 4)).answered);
    EXPECT_FALSE(Call(ReadMemoryReq(0x80000, 255)).answered) << "more than it reads at once";
}

TEST_F(InstrumentTest, CrcOfTheRangeRegistersIsCrc16ArcInclusive) {
    Call(SetValueReq(1, 0x80004));
    Call(SetValueReq(2, 0x80004 + 999));
    const std::vector<uint8_t> bytes = inst.ReadFlash(0x80004, 1000);
    EXPECT_EQ(Value(QueryValueReq(7)), Crc16Arc(bytes));
    EXPECT_EQ(Value(QueryValueReq(1)), 0x80004u);
    EXPECT_EQ(Value(QueryValueReq(2)), 0x80004u + 999);

    Call(SetValueReq(1, kCalibrationAddress));
    Call(SetValueReq(2, 0xCFFFF));
    const std::vector<uint8_t> record = inst.ReadFlash(kCalibrationAddress, 1024);
    EXPECT_EQ(Value(QueryValueReq(7)), Crc16Arc(record));

    Call(SetValueReq(1, 0xFFFF0));
    Call(SetValueReq(2, 0x100010));
    EXPECT_EQ(Value(QueryValueReq(7)), 0u) << "a range beyond flash has no CRC";
}

TEST_F(InstrumentTest, VersionFollowsTheMarkerWords) {
    Call(SetValueReq(8, 0x80002));
    Call(OneArgReq(14, 0));
    EXPECT_FALSE(inst.MarkersValid());
    EXPECT_EQ(Value(QueryValueReq(0)), kBootLoaderVersion);
    inst.WriteFlashRaw(0x80002, {0xA5, 0xA5});
    EXPECT_EQ(Value(QueryValueReq(0)), 1006u);
}

// The whole upgrade as the instrument sees it: the new program, once declared
// valid, runs with the version in its own trailer.
TEST_F(InstrumentTest, UpgradeStoryAtCommandLevel) {
    const std::vector<uint8_t> image = MakeImage(300001, 2500, 9);  // reaches into sector 0
    const std::vector<uint8_t> record = inst.ReadFlash(kCalibrationAddress, 1024);
    EXPECT_EQ(Value(RemoteModeReq(1)), 1u);
    EXPECT_TRUE(inst.RemoteMode());
    Call(SetValueReq(8, 0x80000));
    Call(OneArgReq(14, 0));
    Call(SetValueReq(8, 0x80002));
    Call(OneArgReq(14, 0));
    for (uint16_t s : {7, 8, 9, 10}) {
        EXPECT_EQ(Value(OneArgReq(16, s)), 1u);
    }
    Call(SetValueReq(42, 1));
    EXPECT_EQ(Value(OneArgReq(16, 0)), 1u);
    std::vector<uint8_t> padded = image;
    padded.push_back(0xFF);
    uint32_t a = 0x80004;
    for (size_t off = 0; off < padded.size(); off += 498) {
        const size_t n = std::min<size_t>(498, padded.size() - off);
        ASSERT_EQ(ProgramBlock(a, {padded.begin() + off, padded.begin() + off + n}), n / 2);
        a += static_cast<uint32_t>(n);
    }
    Call(SetValueReq(1, 0x80004));
    Call(SetValueReq(2, a - 1));
    EXPECT_EQ(Value(QueryValueReq(7)), Crc16Arc(padded));
    for (uint32_t off = 0; off < 1024; off += 498) {
        const uint32_t n = std::min<uint32_t>(498, 1024 - off);
        ASSERT_EQ(ProgramBlock(kCalibrationAddress + off,
                               {record.begin() + off, record.begin() + off + n}),
                  n / 2);
    }
    Call(SetValueReq(42, 0));
    EXPECT_EQ(Value(QueryValueReq(0)), kBootLoaderVersion);
    Call(SetValueReq(8, 0x80000));
    Call(OneArgReq(14, 0x1234));
    Call(SetValueReq(8, 0x80002));
    Call(OneArgReq(14, 0xA5A5));
    EXPECT_EQ(Value(QueryValueReq(0)), 2500u);
    EXPECT_EQ(inst.ReadFlash(kCalibrationAddress, 1024), record);

    const Instrument::Reply restart = Call(SetValueReq(6, 0xFFFF0));
    EXPECT_FALSE(restart.answered) << "the instrument jumps away without answering";
    EXPECT_EQ(inst.RestartCount(), 1u);
    EXPECT_EQ(inst.RestartAddress(), 0xFFFF0u);
    EXPECT_FALSE(inst.RemoteMode());
}

TEST_F(InstrumentTest, StatusBitClearsAfterTheConfiguredReads) {
    InstrumentConfig config;
    config.status = 0x21;
    config.protocol_clears_after_reads = 2;
    inst.Reset(config);
    Enter();
    EXPECT_EQ(Value({72}), 0x21u);
    EXPECT_EQ(Value({72}), 0x21u);
    EXPECT_EQ(Value({72}), 0x01u);
}

TEST_F(InstrumentTest, ResetReachesEveryCopy) {
    Instrument copy = inst;
    Call(RemoteModeReq(1));
    Call(OneArgReq(16, 7));
    EXPECT_TRUE(copy.RemoteMode());
    inst.Reset();
    EXPECT_FALSE(copy.RemoteMode());
    EXPECT_TRUE(copy.MarkersValid());
    EXPECT_EQ(copy.ExchangeCount(), 0u);
}

TEST_F(InstrumentTest, LoadedFlashRunsTheVersionInItsProgramTrailer) {
    EXPECT_FALSE(inst.LoadFlashImage(std::vector<uint8_t>(kFlashSize - 1, 0xFF)));
    EXPECT_EQ(Value(QueryValueReq(0)), 1006u);
    // An image whose CRC ends in 0xFF bytes is still found.
    std::vector<uint8_t> image;
    for (uint32_t seed = 1; image.empty() || image.back() != 0xFF; ++seed) {
        image = MakeImage(4000, 3141, seed);
    }
    ASSERT_TRUE(inst.LoadFlashImage(MakeFlashPicture(image, MakeCalibrationRecord(1), true)));
    EXPECT_EQ(Value(QueryValueReq(0)), 3141u);
    ASSERT_TRUE(inst.LoadFlashImage(MakeFlashPicture(image, MakeCalibrationRecord(1), false)));
    EXPECT_EQ(Value(QueryValueReq(0)), kBootLoaderVersion);
}

// Erase and programming need remote mode, whatever else allows them.
TEST(StricterInstrument, FlashCommandsAreRefusedOutsideRemoteMode) {
    Instrument inst;
    const std::vector<uint8_t> before = inst.FlashImage();
    inst.Handle(SetValueReq(42, 1));
    inst.Handle(SetValueReq(8, 0x90000));
    inst.Handle(WriteMemoryReq(kTransferBufferAddress, std::vector<uint8_t>(8, 0)));
    for (const std::vector<uint8_t>& request :
         {OneArgReq(16, 8), OneArgReq(16, 0), OneArgReq(14, 0), OneArgReq(15, 4)}) {
        const Instrument::Reply r = inst.Handle(request);
        EXPECT_TRUE(r.answered);
        EXPECT_EQ(ValueOf(r), 0u) << int{request[0]};
        EXPECT_TRUE(inst.Log().back().refused);
    }
    EXPECT_EQ(inst.FlashImage(), before);
}

// Power lost after a request, the power going half-way through one, and the
// host killed after one: what flash keeps, what the power takes with it.
TEST_F(InstrumentTest, InterruptionsLeaveFlashAsTheyStruck) {
    const std::vector<uint8_t> old = inst.ReadFlash(0x90000, 0x10000);
    std::vector<std::string> events;
    inst.SetEventSink([&](const InstrumentEvent& e) { events.push_back(e.Text()); });
    auto interrupt_next = [&](FaultKind kind, uint32_t part) {
        Fault f;
        f.exchange = inst.ExchangeCount() + 1;
        f.kind = kind;
        f.part_permille = part;
        inst.AddFault(f);
    };

    // A torn erase: the first quarter of sector 8 erased, the rest as it was.
    interrupt_next(FaultKind::kTornOperation, 250);
    EXPECT_FALSE(Call(OneArgReq(16, 8)).answered);
    EXPECT_FALSE(inst.Powered());
    EXPECT_TRUE(Erased(inst.ReadFlash(0x90000, 16250)));
    EXPECT_EQ(inst.ReadFlash(0x90000 + 16250, 0x10000 - 16250),
              std::vector<uint8_t>(old.begin() + 16250, old.end()));
    EXPECT_EQ(events, (std::vector<std::string>{"erase sector 8 torn at 0x93F7A", "power lost"}));
    // Off, nothing is taken, counted or answered.
    const uint32_t exchanges = inst.ExchangeCount();
    EXPECT_FALSE(Call(QueryValueReq(0)).answered);
    EXPECT_EQ(inst.ExchangeCount(), exchanges);

    // The power returns without the volatile state.
    inst.PowerOn();
    EXPECT_FALSE(inst.RemoteMode());
    EXPECT_EQ(Value(OneArgReq(16, 8)), 0u) << "erasing needs remote mode again";
    Enter();
    Call(SetValueReq(42, 1));
    Call(SetValueReq(1, 0x80004));
    Call(SetValueReq(8, 0x90000));
    const std::vector<uint8_t> data(498, 0x3C);
    Call(WriteMemoryReq(kTransferBufferAddress, {data.begin(), data.begin() + 249}));
    Call(WriteMemoryReq(kTransferBufferAddress + 249, {data.begin() + 249, data.end()}));
    Call(OneArgReq(16, 8));

    // Power lost after the request: the erase is done, never answered.
    interrupt_next(FaultKind::kPowerLost, 0);
    EXPECT_FALSE(Call(OneArgReq(16, 8)).answered);
    EXPECT_TRUE(Erased(inst.ReadFlash(0x90000, 0x10000)));
    inst.PowerOn();
    EXPECT_EQ(inst.FlashAddress(), 0u);
    EXPECT_FALSE(inst.CalibrationWriteAllowed());
    EXPECT_EQ(Value(QueryValueReq(1)), 0u);
    EXPECT_NE(inst.ReadRam(kTransferBufferAddress, 498), data) << "RAM lost its contents";

    // A torn block: 124 of 249 words programmed, the next one only partly.
    Enter();
    Call(SetValueReq(8, 0x90000));
    Call(WriteMemoryReq(kTransferBufferAddress, {data.begin(), data.begin() + 249}));
    Call(WriteMemoryReq(kTransferBufferAddress + 249, {data.begin() + 249, data.end()}));
    interrupt_next(FaultKind::kTornOperation, 500);
    EXPECT_FALSE(Call(OneArgReq(15, 249)).answered);
    EXPECT_EQ(inst.ReadFlash(0x90000, 248), std::vector<uint8_t>(248, 0x3C));
    const uint16_t partial = inst.FlashWord(0x90000 + 248);
    EXPECT_NE(partial, 0x3C3C);
    EXPECT_NE(partial, 0xFFFF);
    EXPECT_EQ(partial & 0x3C3C, 0x3C3C) << "bits only went from 1 to 0";
    EXPECT_TRUE(Erased(inst.ReadFlash(0x90000 + 250, 0x10000 - 250)));

    // Torn outside erase and programming: the request was never acted on.
    inst.PowerOn();
    Enter();
    interrupt_next(FaultKind::kTornOperation, 500);
    EXPECT_FALSE(Call(SetValueReq(8, 0x90100)).answered);
    inst.PowerOn();
    EXPECT_EQ(inst.FlashAddress(), 0u);

    // The host killed: the request acted on and answered, the power kept.
    Enter();
    uint32_t killed_at = 0;
    inst.SetHostKillHandler([&](uint32_t exchange) { killed_at = exchange; });
    interrupt_next(FaultKind::kHostKilled, 0);
    EXPECT_EQ(Value(SetValueReq(8, 0x90100)), 0u);
    EXPECT_EQ(killed_at, inst.ExchangeCount());
    EXPECT_TRUE(inst.Powered());
    EXPECT_EQ(inst.FlashAddress(), 0x90100u);
    EXPECT_EQ(events.back(), "host killed");
}

TEST(DefaultInstrument, ResetsInPlace) {
    Instrument& shared = DefaultInstrument();
    shared.Handle(RemoteModeReq(1));
    InstrumentConfig config;
    config.program_version = 1777;
    ResetDefaultInstrument(config);
    EXPECT_EQ(&shared, &DefaultInstrument());
    EXPECT_FALSE(shared.RemoteMode());
    EXPECT_EQ(ValueOf(shared.Handle(QueryValueReq(0))), 1777u);
    ResetDefaultInstrument();
}

struct LengthCase {
    std::vector<uint8_t> prefix;
    int length;
};

class RequestLengthTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(RequestLengthTest, KnowsEachCommandsWidths) {
    const LengthCase& c = GetParam();
    EXPECT_EQ(Instrument::RequestLength(c.prefix.data(), c.prefix.size()), c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RequestLengthTest,
    ::testing::Values(LengthCase{{}, 0}, LengthCase{{2}, 3}, LengthCase{{3}, 6},
                      LengthCase{{14}, 3}, LengthCase{{15}, 3}, LengthCase{{16}, 3},
                      LengthCase{{71}, 5}, LengthCase{{72}, 1}, LengthCase{{1}, 7},
                      LengthCase{{0, 0, 1, 2}, 0},               // count not known yet
                      LengthCase{{0, 0, 1, 2, 0, 0, 249}, 256},  // the largest write
                      LengthCase{{0, 0, 1, 2, 0, 0, 250}, -1},   // does not fit a packet
                      LengthCase{{0, 0, 1, 2, 0, 1, 0}, -1},     //
                      LengthCase{{4}, -1}, LengthCase{{102}, -1}, LengthCase{{255}, -1}));

TEST_F(InstrumentTest, MalformedAndUnknownRequestsAreRefusedWithoutEffect) {
    EXPECT_FALSE(Call({99, 1, 2}).answered);
    EXPECT_FALSE(Call({3, 8, 0, 9}).answered) << "SetValue lacking its last byte";
    EXPECT_EQ(inst.FlashAddress(), 0u);
    EXPECT_FALSE(Call({72, 0}).answered) << "a byte too many";
    EXPECT_EQ(inst.ExchangeCount() - base_exchanges, 3u);
    for (const LoggedRequest& r : inst.Log()) {
        EXPECT_TRUE(r.refused);
        EXPECT_FALSE(r.answered);
    }
}

TEST(ParseFault, AcceptsTheDocumentedFormsAndRejectsTheRest) {
    Fault f;
    std::string error;
    ASSERT_TRUE(ParseFault("no-reply@12", &f, &error));
    EXPECT_EQ(f.kind, FaultKind::kNoReply);
    EXPECT_EQ(f.exchange, 12u);
    EXPECT_EQ(f.count, 1u);
    ASSERT_TRUE(ParseFault("late@5:3000", &f, &error));
    EXPECT_EQ(f.kind, FaultKind::kLateReply);
    EXPECT_EQ(f.delay_ms, 3000u);
    ASSERT_TRUE(ParseFault("mismatch@3x2/15", &f, &error));
    EXPECT_EQ(f.kind, FaultKind::kProgramMismatch);
    EXPECT_EQ(f.count, 2u);
    EXPECT_EQ(f.command, 15);
    ASSERT_TRUE(ParseFault("cut@200", &f, &error));
    EXPECT_EQ(f.kind, FaultKind::kHostCut);
    ASSERT_TRUE(ParseFault("torn@7:990/16", &f, &error));
    EXPECT_EQ(f.kind, FaultKind::kTornOperation);
    EXPECT_EQ(f.part_permille, 990u);
    EXPECT_EQ(f.delay_ms, 0u);
    EXPECT_EQ(f.command, 16);
    ASSERT_TRUE(ParseFault("power@900", &f, &error));
    EXPECT_EQ(f.kind, FaultKind::kPowerLost);
    ASSERT_TRUE(ParseFault("kill@3/16", &f, &error));
    EXPECT_EQ(f.kind, FaultKind::kHostKilled);
    ASSERT_TRUE(ParseFault("not-ready@4:50/0", &f, &error));
    EXPECT_EQ(f.kind, FaultKind::kNotReady);
    EXPECT_EQ(f.reports, 50u) << "for not-ready the value counts status reports";
    EXPECT_EQ(f.delay_ms, 0u);
    ASSERT_TRUE(ParseFault("feature-fail@14/0", &f, &error));
    EXPECT_EQ(f.kind, FaultKind::kFeatureFail);
    for (const char* bad :
         {"cut", "cut@", "cut@0", "bogus@1", "late@1:", "late@1:2:3", "short@1x0", "reset@1/256",
          "no-reply@99999999999", "wrong-echo@1y", "torn@1:1000"}) {
        EXPECT_FALSE(ParseFault(bad, &f, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace vtrl::sim
