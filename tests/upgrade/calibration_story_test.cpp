// The calibration record across interrupted upgrades: caldata.bin found again
// on the next run, the retry prompt, and the cases where the record must not
// be lost (a blank record never replaces a saved one, the only valid copy is
// never deleted, a cut path is never touched, no file is left open).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "console/dconsole.h"
#include "driver/entry.h"
#include "driver/file_io.h"
#include "driver/image_file.h"
#include "driver/keep_awake.h"
#include "sim/image.h"
#include "tests/common/test_hooks.h"
#include "tests/upgrade/disk_faults.h"
#include "tests/upgrade/upgrade_bench.h"
#include "tests/upgrade/upgrade_files.h"

namespace vtrl {
namespace {

using sim::FaultAt;
using sim::FaultKind;
using test::BenchLink;
using test::kCalibrationAt;
using test::kComplete;
using test::UpgradeBench;

constexpr uint32_t kFullSize = 300000;
constexpr uint32_t kSmallSize = 2001;
constexpr char kRetryPrompt[] = " Retry failed download? ";

std::vector<uint8_t> Record(uint32_t seed) {
    return sim::MakeCalibrationRecord(seed);
}

// The record the program rebuilds from one that reads erased: bytes 4..7
// zero, the rest as read, magic and CRC made right.
std::vector<uint8_t> RebuiltFromErased(std::vector<uint8_t> read) {
    read[4] = read[5] = read[6] = read[7] = 0;
    sim::SealCalibrationRecord(read.data());
    return read;
}

// A full-size upgrade cut off for good at the 100th programming command:
// program and calibration sectors erased, the record only in caldata.bin.
void InterruptedUpgrade(UpgradeBench& bench) {
    bench.WriteImage(kFullSize);
    bench.instrument.AddFault(FaultAt(100, FaultKind::kHostCut, 1, 15));
    ASSERT_EQ(bench.Run("yk"), kExitNeedsAnotherRun);
    ASSERT_TRUE(bench.ShownAtKey("Excessive retries error."));
    ASSERT_TRUE(test::Erased(bench.Flash(kCalibrationAt, 1024)));
    ASSERT_FALSE(bench.instrument.MarkersValid());
    ASSERT_EQ(test::ReadBytes(bench.CalibrationFile()), Record(1));
    // The operator reconnects the cable and starts the program again.
    bench.instrument.ClearFaults();
    bench.Restart();
}

void ExpectUpgradedWithRecord(UpgradeBench& bench, const std::vector<uint8_t>& record) {
    EXPECT_TRUE(bench.ShownAtPause(kComplete));
    EXPECT_TRUE(bench.instrument.MarkersValid());
    EXPECT_EQ(bench.Flash(kCalibrationAt, 1024), record);
    EXPECT_FALSE(test::FileExists(bench.CalibrationFile()));
    EXPECT_EQ(bench.PendingKeys(), 0u);
    EXPECT_EQ(KeepAwakeActiveCount(), 0);
}

class InterruptedUpgradeRetry : public ::testing::TestWithParam<BenchLink> {};

TEST_P(InterruptedUpgradeRetry, SecondRunOffersTheSavedRecordAndRestoresIt) {
    UpgradeBench bench(GetParam());
    InterruptedUpgrade(bench);

    EXPECT_EQ(bench.Run("yy"), kExitUpgraded);
    // The instrument now runs its boot loader, and says so.
    EXPECT_TRUE(bench.ShownAtKey(" Old program version:  0.900"));
    ASSERT_EQ(bench.KeyScreens().size(), 2u);
    EXPECT_NE(bench.KeyScreens()[1].find(kRetryPrompt), std::string::npos);
    EXPECT_NE(bench.KeyScreens()[1].find(" Please press y or n: "), std::string::npos);
    ExpectUpgradedWithRecord(bench, Record(1));
    // The texts as written, line ends and blanks included; the progress
    // window comes between the prompts and the final message.
    const std::vector<std::string>& shown = bench.MessageTexts();
    ASSERT_GE(shown.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(shown.end() - 4, shown.end() - 2),
              (std::vector<std::string>{
                  " Old program version:  0.900\r\n\r\n New program version:  1.007\r\n\r\n"
                  " Proceed with download? y/n :",
                  " Retry failed download? \n\r Please press y or n: "}));
    EXPECT_EQ(shown[shown.size() - 2].rfind(" Downloading: ", 0), 0u);
    EXPECT_EQ(shown.back(), kComplete);
}

INSTANTIATE_TEST_SUITE_P(Links, InterruptedUpgradeRetry,
                         ::testing::Values(BenchLink::kUsb, BenchLink::kSerial),
                         [](const ::testing::TestParamInfo<BenchLink>& info) {
                             return std::string(info.param == BenchLink::kUsb ? "Usb" : "Serial");
                         });

// Requests that read the calibration record's first piece.
int RecordReads(const UpgradeBench& bench) {
    int reads = 0;
    for (const sim::LoggedRequest& r : bench.instrument.Log()) {
        reads += r.bytes.size() == 7 && r.bytes[0] == 1 && r.bytes[2] == 0x0C &&
                 r.bytes[3] == 0xFC && r.bytes[4] == 0x00;
    }
    return reads;
}

TEST(RetryPrompt, AnyKeyButNKeepsTheSavedRecordAndNReadsTheInstrumentAgain) {
    // caldata.bin is this instrument's record (left by an upgrade interrupted
    // before its sector was erased): the record is read once to judge it, and
    // once more after n.
    for (const char* key : {"y", "x", "Y", "n", "N"}) {
        SCOPED_TRACE(key);
        UpgradeBench bench(BenchLink::kUsb);
        bench.WriteImage(kFullSize);
        test::WriteBytes(bench.CalibrationFile(), Record(1));
        EXPECT_EQ(bench.Run(std::string("y") + key), kExitUpgraded);
        EXPECT_TRUE(bench.ShownAtKey(kRetryPrompt));
        EXPECT_EQ(RecordReads(bench), std::toupper(key[0]) == 'N' ? 2 : 1);
        ExpectUpgradedWithRecord(bench, Record(1));
    }
}

// A valid caldata.bin that is not this instrument's record (another
// instrument's, or a stale one) is never written over this instrument's
// record nor overwritten: a full-size upgrade stops before changing
// anything, a normal-size one keeps the file.  Both say why.
TEST(SavedRecordFile, AnotherInstrumentsCopyIsNeitherUsedNorOverwritten) {
    for (uint32_t size : {kFullSize, kSmallSize}) {
        SCOPED_TRACE(size);
        UpgradeBench bench(BenchLink::kUsb);
        const std::vector<uint8_t> image = bench.WriteImage(size);
        test::WriteBytes(bench.CalibrationFile(), Record(99));
        const std::vector<uint8_t> before = bench.instrument.FlashImage();

        const int status = bench.Run("yk");

        ASSERT_EQ(bench.KeyScreens().size(), 2u);
        const std::string& told = bench.KeyScreens()[1];
        // The whole message on the screen (none of it scrolled away), and the
        // file may be the only copy of a record: never to be deleted.
        EXPECT_NE(told.find(" caldata.bin beside this program holds a"), std::string::npos) << told;
        EXPECT_NE(told.find("other than this"), std::string::npos) << told;
        EXPECT_NE(told.find("only copy of a calibration"), std::string::npos) << told;
        EXPECT_NE(told.find("never delete it"), std::string::npos) << told;
        EXPECT_NE(told.find("Please press a key..."), std::string::npos) << told;
        EXPECT_FALSE(bench.ShownAtKey(kRetryPrompt));
        EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), Record(99));
        EXPECT_EQ(bench.Flash(kCalibrationAt, 1024), Record(1));
        EXPECT_EQ(bench.PendingKeys(), 0u);
        if (size == kFullSize) {
            EXPECT_EQ(status, kExitNothingChanged);
            EXPECT_EQ(bench.instrument.FlashImage(), before);
            EXPECT_FALSE(bench.instrument.RemoteMode());
        } else {
            EXPECT_EQ(status, kExitUpgraded);
            EXPECT_EQ(bench.Flash(0x80004, size), image);
            EXPECT_TRUE(bench.ShownAtPause(kComplete));
        }
    }
}

TEST(RetryPrompt, NeverReplacesAValidSavedRecordByABlankOne) {
    UpgradeBench bench(BenchLink::kUsb);
    InterruptedUpgrade(bench);

    // n: the instrument's own record is gone (its sector erased), so the saved
    // copy stays in use and on disk; the operator is told.
    EXPECT_EQ(bench.Run("ynk"), kExitUpgraded);
    ASSERT_EQ(bench.KeyScreens().size(), 3u);
    EXPECT_NE(bench.KeyScreens()[2].find("calibration record is invalid"), std::string::npos);
    EXPECT_NE(bench.KeyScreens()[2].find("caldata.bin is kept"), std::string::npos);
    ExpectUpgradedWithRecord(bench, Record(1));
}

// n at the retry prompt, and the instrument now holds a valid record other
// than the saved one, though a moment ago it held none (its sector erased) or
// the saved one: the file may be the only copy of a record, so nothing is
// changed, as for another instrument's file.
TEST(RetryPrompt, NWhenTheInstrumentNowHoldsAnotherRecordChangesNothing) {
    for (bool sector_erased : {true, false}) {
        SCOPED_TRACE(sector_erased ? "first read erased" : "first read the saved record");
        UpgradeBench bench(BenchLink::kUsb);
        if (sector_erased) {
            InterruptedUpgrade(bench);
        } else {
            bench.WriteImage(kFullSize);
            test::WriteBytes(bench.CalibrationFile(), Record(1));
        }
        std::vector<uint8_t> at_prompt;
        bench.OnKeyWait([&](const std::string& screen) {
            if (screen.find(kRetryPrompt) != std::string::npos) {
                bench.instrument.WriteFlashRaw(kCalibrationAt, Record(2));
                at_prompt = bench.instrument.FlashImage();
            }
        });

        EXPECT_EQ(bench.Run("ynk"), kExitNothingChanged);
        ASSERT_EQ(bench.KeyScreens().size(), 3u);
        EXPECT_NE(bench.KeyScreens()[2].find("other than this"), std::string::npos);
        EXPECT_NE(bench.KeyScreens()[2].find("Nothing has been changed."), std::string::npos);
        EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), Record(1));
        EXPECT_EQ(bench.instrument.FlashImage(), at_prompt);
        EXPECT_FALSE(bench.instrument.RemoteMode());
        EXPECT_EQ(bench.PendingKeys(), 0u);
    }
}

TEST(RetryPrompt, SavedRecordSurvivesWhenTheRestoreFailsAfterN) {
    UpgradeBench bench(BenchLink::kUsb);
    InterruptedUpgrade(bench);
    // This run's programming commands: 602 blocks and a tail, then the
    // restore's three pieces; the last of those is never taken.
    uint32_t programmed_before = 0;
    for (const sim::LoggedRequest& r : bench.instrument.Log()) {
        programmed_before += (!r.bytes.empty() && r.bytes[0] == 15) ? 1 : 0;
    }
    bench.instrument.AddFault(
        FaultAt(programmed_before + 603 + 3, FaultKind::kProgramMismatch, 10, 15));

    EXPECT_EQ(bench.Run("ynkk"), kExitNeedsAnotherRun);
    EXPECT_TRUE(bench.ShownAtKey("Cannot restore calibration sector."));
    EXPECT_FALSE(bench.instrument.MarkersValid());
    // The file still holds the instrument's real calibration for the next try.
    EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), Record(1));
    EXPECT_EQ(bench.PendingKeys(), 0u);
}

TEST(SavedRecordFile, InvalidOrShortFilesAreNotOfferedAndOnlyInvalidOnesDeleted) {
    struct Case {
        const char* name;
        std::vector<uint8_t> content;
        bool prompted;
    };
    std::vector<uint8_t> bad_magic = Record(5);
    bad_magic[0] = 0x5B;
    std::vector<uint8_t> bad_crc = Record(5);
    bad_crc[500] ^= 0x01;
    std::vector<uint8_t> longer = Record(5);
    const std::vector<uint8_t> shorter(longer.begin(), longer.begin() + 1000);
    longer.insert(longer.end(), 40, 0xEE);
    std::vector<uint8_t> own_longer = Record(1);
    own_longer.insert(own_longer.end(), 40, 0xEE);
    const std::vector<Case> cases = {
        {"wrong magic", bad_magic, false},
        {"wrong crc", bad_crc, false},
        {"short", shorter, false},
        {"empty", {}, false},
        // Only the first 1024 bytes are read and judged.
        {"longer", own_longer, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeBench bench(BenchLink::kUsb);
        bench.WriteImage(kFullSize);
        test::WriteBytes(bench.CalibrationFile(), c.content);
        EXPECT_EQ(bench.Run(c.prompted ? "yy" : "y"), kExitUpgraded);
        EXPECT_EQ(bench.ShownAtKey(kRetryPrompt), c.prompted);
        ExpectUpgradedWithRecord(bench, Record(1));
    }
}

TEST(SavedRecordFile, ErasedInstrumentRecordIsRebuiltAroundItsLastSixteenBytes) {
    UpgradeBench bench(BenchLink::kUsb);
    bench.WriteImage(kFullSize);
    std::vector<uint8_t> erased(1024, 0xFF);
    erased[1010] = 0x42;  // the rebuild keeps bytes 1008..1023 as read
    bench.instrument.WriteFlashRaw(kCalibrationAt, erased);

    EXPECT_EQ(bench.Run("y"), kExitUpgraded);
    const std::vector<uint8_t> expected = RebuiltFromErased(erased);
    ExpectUpgradedWithRecord(bench, expected);
    EXPECT_TRUE(sim::CalibrationRecordValid(expected.data(), expected.size()));
}

TEST(SavedRecordFile, IsOnDiskCompleteBeforeAnythingIsErased) {
    UpgradeBench bench(BenchLink::kUsb);
    bench.WriteImage(kFullSize);
    // The link goes for good at the first marker clear.
    bench.instrument.AddFault(FaultAt(1, FaultKind::kHostCut, 1, 14));

    EXPECT_EQ(bench.Run("yk"), kExitNeedsAnotherRun);
    EXPECT_TRUE(bench.ShownAtKey("Cannot erase program memory."));
    EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), Record(1));
    EXPECT_FALSE(test::FileExists(bench.CalibrationFile() + ".tmp"));
}

TEST(SavedRecordFile, AFailedRewriteLeavesTheEarlierCopyWhole) {
    UpgradeBench bench(BenchLink::kUsb);
    bench.WriteImage(kFullSize);
    test::WriteBytes(bench.CalibrationFile(), Record(1));
    const std::vector<uint8_t> before = bench.instrument.FlashImage();
    std::filesystem::create_directory(bench.CalibrationFile() + ".tmp");

    // n: the instrument's record is read again, but cannot be written.
    EXPECT_EQ(bench.Run("ynk"), kExitNothingChanged);
    EXPECT_TRUE(bench.ShownAtKey("Unable to save calibration data!"));
    EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), Record(1));
    EXPECT_EQ(bench.instrument.FlashImage(), before);
}

TEST(NormalSizeUpgrade, KeepsTheOnlyValidCopyOfTheRecord) {
    UpgradeBench bench(BenchLink::kUsb);
    InterruptedUpgrade(bench);

    // A small image does not touch sector 0, whose record is still erased:
    // caldata.bin is all that is left of it and must stay.
    const std::vector<uint8_t> small = bench.WriteImage(kSmallSize);
    EXPECT_EQ(bench.Run("yk"), kExitUpgraded);
    EXPECT_TRUE(bench.ShownAtKey("holds its"));
    EXPECT_TRUE(bench.ShownAtPause(kComplete));
    EXPECT_EQ(bench.Flash(0x80004, kSmallSize), small);
    EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), Record(1));

    // A full-size image later brings the record back, and only then is the file removed.
    bench.Restart();
    bench.WriteImage(kFullSize);
    EXPECT_EQ(bench.Run("yy"), kExitUpgraded);
    ExpectUpgradedWithRecord(bench, Record(1));
}

// A caldata.bin that cannot be read may be the only copy of a record: a
// normal-size upgrade keeps it and says so.
TEST(NormalSizeUpgrade, KeepsAnUnreadableFileAndSaysSo) {
    for (bool open_refused : {true, false}) {
        SCOPED_TRACE(open_refused ? "held by another program" : "read fails");
        UpgradeBench bench(BenchLink::kUsb);
        const std::vector<uint8_t> small = bench.WriteImage(kSmallSize);
        test::WriteBytes(bench.CalibrationFile(), Record(1));
        test::DiskFault fault;
        fault.saved_open_refused = open_refused ? 1000 : 0;
        fault.saved_read_fails = !open_refused;
        test::FaultyDisk disk(fault);
        SetFileSystem(&disk);
        const int status = bench.Run("yk");
        SetFileSystem(nullptr);

        EXPECT_EQ(status, kExitUpgraded);
        EXPECT_TRUE(bench.ShownAtKey(" caldata.bin beside this program could not be"));
        EXPECT_TRUE(bench.ShownAtKey("only copy of a calibration record."));
        EXPECT_TRUE(bench.ShownAtPause(kComplete));
        EXPECT_EQ(bench.Flash(0x80004, kSmallSize), small);
        EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), Record(1));
        EXPECT_EQ(bench.PendingKeys(), 0u);
    }
}

TEST(NormalSizeUpgrade, DeletesTheFileWhenItIsTheInstrumentsOwnRecord) {
    UpgradeBench bench(BenchLink::kUsb);
    bench.WriteImage(kSmallSize);
    test::WriteBytes(bench.CalibrationFile(), Record(1));
    EXPECT_EQ(bench.Run("y"), kExitUpgraded);
    ExpectUpgradedWithRecord(bench, Record(1));
}

TEST(FilePaths, ADirectoryTooLongForThePathsIsNeverUsed) {
    UpgradeBench bench(BenchLink::kUsb);
    // A directory whose image path would have to be cut to 256 characters:
    // the cut path ".../vtrlprog.bi" names another file, a sound image here.
    const size_t room = 244 - bench.dir.size() - 1;
    const std::string deep = bench.dir + PathSeparator() + std::string(room, 'd');
    ASSERT_EQ(deep.size(), 244u);
    std::filesystem::create_directory(deep);
    const std::string decoy = deep + PathSeparator() + "vtrlprog.bi";
    test::WriteBytes(decoy, sim::MakeImage(kFullSize, 1007, 1));
    const std::vector<uint8_t> before = bench.instrument.FlashImage();

    EXPECT_EQ(bench.RunAs(deep + PathSeparator() + "vtrlupg", "k"), kExitNothingChanged);
    EXPECT_TRUE(bench.ShownAtKey(" Download aborted."));
    EXPECT_NE(bench.Printed().find("Cannot open program file "), std::string::npos);
    EXPECT_FALSE(bench.ShownAtKey("Proceed with download?"));
    EXPECT_EQ(bench.instrument.FlashImage(), before);
    EXPECT_FALSE(bench.instrument.RemoteMode());
    // Nothing was created beside the decoy.
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(deep)) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

// The files lie beside the program itself, however it was started: through
// PATH (a bare name) or by a name relative to another folder, from a folder
// whose name is not plain ASCII.
TEST(FilePaths, TheProgramsOwnFolderHoldsTheFiles) {
    for (const char* started_as : {"vtrlupg", "../elsewhere/vtrlupg"}) {
        SCOPED_TRACE(started_as);
        UpgradeBench bench(BenchLink::kUsb);
        const std::string folder = bench.dir + PathSeparator() + "Prüfstand Ω 計測";
        std::filesystem::create_directory(std::filesystem::u8path(folder));
        const std::vector<uint8_t> image = sim::MakeImage(kFullSize, 1007, 3);
        {
            UniqueFile out = OpenFile((folder + PathSeparator() + "vtrlprog.bin").c_str(), "wb");
            ASSERT_TRUE(out);
            ASSERT_EQ(std::fwrite(image.data(), 1, image.size(), out.Get()), image.size());
        }
        bench.started_as = started_as;
        EXPECT_EQ(bench.RunAs(folder + PathSeparator() + "vtrlupg", "y"), kExitUpgraded);
        EXPECT_EQ(bench.Flash(0x80004, kFullSize), image);
        EXPECT_EQ(bench.Flash(kCalibrationAt, 1024), Record(1));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(folder + "/caldata.bin")));
    }
    // A message that names the file shows the folder in the screen's code page
    // 437: what it lacks becomes '?', never stray bytes drawn as frame pieces.
    UpgradeBench bench(BenchLink::kUsb);
    const std::string folder = bench.dir + PathSeparator() + "Prüfstand Ω 計測";
    std::filesystem::create_directory(std::filesystem::u8path(folder));
    EXPECT_EQ(bench.RunAs(folder + PathSeparator() + "vtrlupg", "k"), kExitNothingChanged);
    EXPECT_NE(bench.Printed().find("Pr\x81"
                                   "fstand \xEA ??" +
                                   std::string(1, PathSeparator()) + "vtrlprog.bin."),
              std::string::npos)
        << bench.Printed();
}

TEST(Files, NoFileIsLeftOpenOnAnyWayOut) {
    const int before = test::OpenFileCount();
    if (before < 0) {
        GTEST_SKIP() << "open files cannot be counted here";
    }
    {
        UpgradeBench bench(BenchLink::kUsb);
        InterruptedUpgrade(bench);
        EXPECT_EQ(test::OpenFileCount(), before);
        test::WriteBytes(bench.CalibrationFile(), std::vector<uint8_t>(1024, 0));  // invalid
        bench.WriteImage(kSmallSize);
        EXPECT_EQ(bench.Run("y"), kExitUpgraded);
        EXPECT_EQ(test::OpenFileCount(), before);
        bench.Restart();
        bench.WriteImageBytes({1, 2, 3, 4, 5});  // corrupted
        EXPECT_EQ(bench.Run("k"), kExitNothingChanged);
        EXPECT_EQ(test::OpenFileCount(), before);
    }
}

}  // namespace
}  // namespace vtrl
