// Every way the upgrade can fail, driven through the instrument stand-in's
// fault plan (or the files beside the program): the message the operator
// sees, what is left in flash and on disk, and remote mode left by the entry.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/dconsole.h"
#include "driver/entry.h"
#include "driver/file_io.h"
#include "driver/image_file.h"
#include "driver/keep_awake.h"
#include "driver/upgrade.h"
#include "sim/image.h"
#include "tests/common/test_hooks.h"
#include "tests/upgrade/upgrade_bench.h"
#include "tests/upgrade/upgrade_files.h"

namespace vtrl {
namespace {

using sim::Fault;
using sim::FaultAt;
using sim::FaultKind;
using test::BenchLink;
using test::kCalibrationAt;
using test::kComplete;
using test::UpgradeBench;

constexpr uint32_t kNormalSize = 996 * 3 + 7;  // three blocks and an odd tail
constexpr uint32_t kFullSize = 326652;
constexpr char kAbortSuffix[] = "\r\n Download aborted.\r\n Please press a key...";

// The exchange number of the `nth` request starting with `prefix` in an
// undisturbed upgrade with the same image (runs are deterministic).
uint32_t ExchangeInCleanRun(BenchLink link, uint32_t size, const std::vector<uint8_t>& prefix,
                            int nth = 1) {
    UpgradeBench clean(link);
    clean.WriteImage(size);
    EXPECT_EQ(clean.Run("y"), kExitUpgraded);
    const uint32_t n = clean.ExchangeOf(prefix, nth);
    EXPECT_NE(n, 0u) << "no such request in a clean run";
    return n;
}

// After every failure: the status that says whether the instrument was
// changed, reported once, the instrument neither restarted nor marked valid,
// the PC no longer held awake, no key left unread, no window left on the
// screen and no file left open.
void ExpectFailedRun(UpgradeBench& bench, int status, ExitStatus expected,
                     const std::string& message) {
    EXPECT_EQ(status, expected);
    // Judged as written, not as wrapped on the screen: leading blanks and line
    // ends count.
    std::vector<std::string> aborts;
    for (const std::string& shown : bench.MessageTexts()) {
        if (shown.size() >= sizeof kAbortSuffix - 1 &&
            shown.compare(shown.size() - (sizeof kAbortSuffix - 1), std::string::npos,
                          kAbortSuffix) == 0) {
            aborts.push_back(shown);
        }
    }
    if (message.empty()) {
        EXPECT_TRUE(aborts.empty());
    } else {
        ASSERT_EQ(aborts.size(), 1u) << message;
        EXPECT_EQ(aborts[0], message + kAbortSuffix);
        EXPECT_TRUE(bench.ShownAtKey(" Download aborted."));
    }
    EXPECT_FALSE(bench.ShownAtPause(kComplete));
    EXPECT_EQ(bench.instrument.RestartCount(), 0u);
    EXPECT_FALSE(bench.instrument.CalibrationWriteAllowed());
    EXPECT_EQ(KeepAwakeActiveCount(), 0);
    EXPECT_EQ(bench.PendingKeys(), 0u);
    EXPECT_EQ(OpenWindowCount(), 0);
    if (bench.open_files_at_start >= 0) {
        EXPECT_EQ(test::OpenFileCount(), bench.open_files_at_start);
    }
    // Where files cannot be counted (Windows), a file still open cannot be renamed.
    for (const char* name : {"vtrlprog.bin", "caldata.bin"}) {
        const std::string path = bench.FileBeside(name);
        if (test::FileExists(path)) {
            std::error_code ec;
            std::filesystem::rename(path, path + ".moved", ec);
            EXPECT_FALSE(ec) << name << " is still open";
            std::filesystem::rename(path + ".moved", path, ec);
        }
    }
}

TEST(UpgradeRefused, DeclinedPromptOversizeAndBadImagesChangeNothing) {
    struct Case {
        const char* name;
        uint32_t size;  // 0: no image file
        bool damage;
        std::string keys;
        std::string message;  // "" : none; "%s" replaced by the image path
        bool prompted;
    };
    const std::vector<Case> cases = {
        {"declined", kFullSize, false, "n", "", true},
        {"declined, any key but y", kFullSize, false, "q", "", true},
        {"oversize", kFullSize + 1, false, "yk", "Program file is too large.", true},
        {"corrupted", kNormalSize, true, "k", "Program file %s is corrupted.", false},
        {"missing", 0, false, "k", "Cannot open program file %s.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeBench bench(BenchLink::kUsb);
        if (c.size != 0) {
            std::vector<uint8_t> image = sim::MakeImage(c.size, 1007, 1);
            if (c.damage) {
                image[image.size() - 1] ^= 0x40;
            }
            bench.WriteImageBytes(image);
        }
        const std::vector<uint8_t> before = bench.instrument.FlashImage();

        const int status = bench.Run(c.keys);

        std::string message = c.message;
        const size_t at = message.find("%s");
        if (at != std::string::npos) {
            message.replace(at, 2, bench.FileBeside("vtrlprog.bin"));
        }
        ExpectFailedRun(bench, status, kExitNothingChanged, message);
        EXPECT_EQ(bench.ShownAtKey("Proceed with download? y/n :"), c.prompted);
        if (c.prompted && !message.empty()) {
            // The size is judged only after the operator has confirmed.
            ASSERT_EQ(bench.KeyScreens().size(), 2u);
            EXPECT_NE(bench.KeyScreens()[0].find("Proceed with download?"), std::string::npos);
        }
        EXPECT_EQ(bench.instrument.FlashImage(), before);
        EXPECT_TRUE(bench.instrument.MarkersValid());
        EXPECT_FALSE(bench.instrument.RemoteMode());
        EXPECT_FALSE(test::FileExists(bench.CalibrationFile()));
        if (c.size == 0) {
            EXPECT_FALSE(test::FileExists(bench.FileBeside("vtrlprog.bin")));
        }
    }
}

TEST(CalibrationSaveFailure, NothingIsErasedWhenTheRecordCannotBeSaved) {
    const std::vector<uint8_t> original = sim::MakeCalibrationRecord(1);
    struct Case {
        const char* name;
        Fault fault;
        bool block_file;
        const char* message;
    };
    const std::vector<Case> cases = {
        // Every attempt at reading the record goes unanswered.
        {"read gives up", FaultAt(1, FaultKind::kNoReply, 10, 1), false,
         "Unable to retrieve calibration data!"},
        // Over USB a short reply reads its last byte as 0: the transfer's CRC
        // differs, at every reading.
        {"transfer damaged", FaultAt(1, FaultKind::kShortPayload, 15, 1), false,
         "Unable to retrieve calibration data!"},
        // The instrument's CRC over the record never comes.
        {"crc gives up", FaultAt(2, FaultKind::kNoReply, 10, 2), false,
         "Unable to retrieve calibration data!"},
        {"file not writable", Fault{0, FaultKind::kNoReply, 0}, true,
         "Unable to save calibration data!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeBench bench(BenchLink::kUsb);
        bench.WriteImage(kFullSize);
        ASSERT_EQ(bench.Flash(kCalibrationAt, 1024), original);
        const std::vector<uint8_t> before = bench.instrument.FlashImage();
        if (c.fault.count != 0) {
            bench.instrument.AddFault(c.fault);
        }
        if (c.block_file) {
            // The temporary file beside caldata.bin cannot be created.
            std::filesystem::create_directory(bench.CalibrationFile() + ".tmp");
        }

        ExpectFailedRun(bench, bench.Run("yk"), kExitNothingChanged, c.message);
        EXPECT_EQ(bench.instrument.FlashImage(), before);
        EXPECT_FALSE(bench.instrument.RemoteMode());
        EXPECT_FALSE(test::FileExists(bench.CalibrationFile()));
    }
}

// A retried step of the download that gives up, found by its request.
struct GiveUpCase {
    const char* name;
    std::vector<uint8_t> request;
    int nth;
    FaultKind kind;
    uint32_t exchanges = 10;  // consecutive exchanges the fault hits
};

class DownloadGivesUp : public ::testing::TestWithParam<GiveUpCase> {};

TEST_P(DownloadGivesUp, ExcessiveRetriesLeaveTheProgramInvalidAndTheSavedRecord) {
    const GiveUpCase& c = GetParam();
    const uint32_t at = ExchangeInCleanRun(BenchLink::kUsb, kFullSize, c.request, c.nth);
    UpgradeBench bench(BenchLink::kUsb);
    bench.WriteImage(kFullSize);
    bench.instrument.AddFault(FaultAt(at, c.kind, c.exchanges));

    ExpectFailedRun(bench, bench.Run("yk"), kExitNeedsAnotherRun, "Excessive retries error.");
    EXPECT_FALSE(bench.instrument.MarkersValid());
    EXPECT_FALSE(bench.instrument.RemoteMode());
    // Sector 0 was erased: the record lives on only in caldata.bin, for the retry.
    EXPECT_TRUE(test::Erased(bench.Flash(kCalibrationAt, 1024)));
    EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), sim::MakeCalibrationRecord(1));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DownloadGivesUp,
    ::testing::Values(
        // The download's link check: discovery, erase, then the download's own.
        GiveUpCase{"Ping", {2, 0, 0}, 3, FaultKind::kNoReply},
        GiveUpCase{"TransferBufferQuery", {2, 4, 0}, 1, FaultKind::kNoReply},
        // Every attempt's first chunk into the transfer buffer is lost.
        GiveUpCase{"WriteMemory", {0}, 40, FaultKind::kNoReply},
        // The flash address of block 22 (0x80004 + 22 * 498).
        GiveUpCase{"FlashAddress", {3, 8, 0, 0x08, 0x2A, 0xD0}, 1, FaultKind::kWrongEcho},
        // The instrument answers one word fewer ten times over (each re-issue
        // sets the flash address first, an exchange the fault passes).
        GiveUpCase{"ProgramMismatch", {15}, 77, FaultKind::kProgramMismatch, 20},
        GiveUpCase{"ProgramNoReply", {15}, 300, FaultKind::kNoReply},
        // The instrument's CRC over the download: the second CRC query of the run.
        GiveUpCase{"CrcQuery", {2, 7, 0}, 2, FaultKind::kNoReply}),
    [](const ::testing::TestParamInfo<GiveUpCase>& info) { return std::string(info.param.name); });

TEST(DownloadRetries, MismatchesBelowTheLimitAreCountedOnTheProgressLine) {
    UpgradeBench bench(BenchLink::kUsb);
    const std::vector<uint8_t> image = bench.WriteImage(kNormalSize);
    // The second block's first nine programming replies.
    bench.instrument.AddFault(FaultAt(2, FaultKind::kProgramMismatch, 9, 15));

    EXPECT_EQ(bench.Run("y"), kExitUpgraded);
    EXPECT_EQ(bench.Flash(0x80004, kNormalSize), image);
    EXPECT_NE(bench.Printed().find(" Remaining blocks: 5  Retries: 0"), std::string::npos);
    EXPECT_NE(bench.Printed().find(" Remaining blocks: 4  Retries: 9"), std::string::npos);
    EXPECT_NE(bench.Printed().find(" Remaining blocks: 0  Retries: 9"), std::string::npos);
}

// A HID device that hands the `nth` WriteMemory report to `tap` on its way to
// the instrument, which takes the packet as the tap leaves it.
class WriteMemoryTap final : public sim::HidDeviceModel {
  public:
    using Tap = std::function<void(std::vector<uint8_t>& report)>;
    WriteMemoryTap(std::shared_ptr<sim::HidDeviceModel> inner, int nth, Tap tap)
        : inner_(std::move(inner)), nth_(nth), tap_(std::move(tap)) {}
    static void Install(UpgradeBench& bench, int nth, Tap tap) {
        auto& device = bench.hid->Device(bench.hid_device);
        device.model = std::make_shared<WriteMemoryTap>(device.model, nth, std::move(tap));
    }
    bool OutputReport(const uint8_t* report, size_t length) override {
        std::vector<uint8_t> copy(report, report + length);
        // Report ID, then command 0, address (4), count (2), data.
        if (length > 10 && copy[1] == 0 && ++seen_ == nth_) {
            tap_(copy);
        }
        return inner_->OutputReport(copy.data(), copy.size());
    }
    bool InputReport(uint8_t* report, size_t length, uint64_t deadline_us) override {
        return inner_->InputReport(report, length, deadline_us);
    }
    bool FeatureReport(uint8_t* report, size_t length) override {
        return inner_->FeatureReport(report, length);
    }
    void FlushInput() override { inner_->FlushInput(); }

  private:
    std::shared_ptr<sim::HidDeviceModel> inner_;
    int nth_;
    Tap tap_;
    int seen_ = 0;
};

TEST(DownloadVerification, ADamagedBlockIsACrcErrorNamingBothValues) {
    UpgradeBench bench(BenchLink::kUsb);
    const std::vector<uint8_t> image = bench.WriteImage(kNormalSize);
    WriteMemoryTap::Install(bench, 3, [](std::vector<uint8_t>& report) { report[10] ^= 0x10; });

    const int status = bench.Run("yk");

    const uint32_t padded = kNormalSize + 1;
    std::vector<uint8_t> sent = image;
    sent.push_back(0xFF);
    const uint16_t host = sim::Crc16Arc(sent);
    const uint16_t instrument = sim::Crc16Arc(bench.Flash(0x80004, padded));
    ASSERT_NE(host, instrument);
    char message[64];
    std::snprintf(message, sizeof message, "CRC error.\r\n Instrument: %X  Host: %X", instrument,
                  host);
    ExpectFailedRun(bench, status, kExitNeedsAnotherRun, message);
    EXPECT_FALSE(bench.instrument.MarkersValid());
    EXPECT_FALSE(bench.instrument.RemoteMode());
}

// The USB cable pulled out during the download, just as a block's request
// has gone out: the instrument took it, its answer never comes, and every
// read and write after that is refused at once.  The operator is told within
// seconds of the removal, not after ten attempts of waiting out the link's
// time-outs; the saved calibration record stays for the retry.
TEST(PulledCable, TheFailureIsShownWithinSecondsOfTheRemoval) {
    UpgradeBench bench(BenchLink::kUsb);
    bench.WriteImage(kFullSize);
    uint64_t pulled_at_ms = 0;
    WriteMemoryTap::Install(bench, 40, [&](std::vector<uint8_t>&) {
        pulled_at_ms = bench.clock.NowMs();
        bench.hid->Unplug(bench.hid_device);
    });

    EXPECT_EQ(bench.Run("yk"), kExitNeedsAnotherRun);

    ASSERT_NE(pulled_at_ms, 0u);
    ASSERT_EQ(bench.KeyScreens().size(), 2u);  // the version prompt, then the message
    EXPECT_NE(bench.KeyScreens()[1].find("Excessive retries error."), std::string::npos);
    EXPECT_EQ(bench.MessageTexts().back(), std::string("Excessive retries error.") + kAbortSuffix);
    // Ten attempts of the block's transfer, 100 ms apart.
    EXPECT_LE(bench.KeyTimesMs()[1] - pulled_at_ms, 1500u);
    EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), sim::MakeCalibrationRecord(1));
    EXPECT_FALSE(bench.instrument.MarkersValid());
    EXPECT_EQ(bench.instrument.RestartCount(), 0u);
    EXPECT_EQ(KeepAwakeActiveCount(), 0);
}

// The image file as the program reads it, with a change made to it before
// its `read`-th read.
class ChangingImage final : public FileSystem {
  public:
    ChangingImage(std::string path, int read, std::function<void()> change)
        : path_(std::move(path)), read_(read), change_(std::move(change)) {}
    std::FILE* Open(const char* path, const char* mode) override {
        std::FILE* file = FileSystem::Open(path, mode);
        if (path_ == path) {
            image_ = file;
        }
        return file;
    }
    size_t Read(std::FILE* file, uint8_t* buffer, size_t count) override {
        if (file == image_ && ++reads_ == read_) {
            change_();
        }
        return FileSystem::Read(file, buffer, count);
    }

  private:
    std::string path_;
    int read_;
    std::function<void()> change_;
    std::FILE* image_ = nullptr;
    int reads_ = 0;
};

// The image is read once, by its check, and held in memory: a change while
// the check reads it is found there, before anything is erased; once checked,
// the file is not read again, so one cut, grown, replaced or gone while the
// instrument has no program changes nothing of what is programmed.
TEST(ImageChangedAfterTheCheck, TheCheckedBytesAreProgrammed) {
    const std::vector<uint8_t> other = sim::MakeImage(kFullSize, 1008, 99);
    struct Case {
        const char* name;
        int check_read;  // changed before this read of the check; 0: during the download
        std::function<void(const std::string&, std::vector<uint8_t>)> change;
    };
    const std::vector<Case> cases = {
        {"a byte changed while the check reads it", 10,
         [](const std::string& path, std::vector<uint8_t> b) {
             b[200000] ^= 0x08;
             test::WriteBytes(path, b);
         }},
        {"cut short", 0,
         [](const std::string& path, std::vector<uint8_t>) {
             std::filesystem::resize_file(path, 20 * 498 + 249);
         }},
        {"replaced by another sound image", 0,
         [&](const std::string& path, std::vector<uint8_t>) { test::WriteBytes(path, other); }},
        {"grown", 0,
         [](const std::string& path, std::vector<uint8_t> b) {
             b.push_back(0);
             test::WriteBytes(path, b);
         }},
        {"gone", 0, [](const std::string& path, std::vector<uint8_t>) { test::RemoveTree(path); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeBench bench(BenchLink::kUsb);
        const std::vector<uint8_t> image = bench.WriteImage(kFullSize);
        const std::vector<uint8_t> before = bench.instrument.FlashImage();
        const std::string path = bench.FileBeside("vtrlprog.bin");
        auto change = [&] { c.change(path, image); };
        ChangingImage files(path, c.check_read, change);
        if (c.check_read == 0) {
            WriteMemoryTap::Install(bench, 1, [&](std::vector<uint8_t>&) { change(); });
        }
        SetFileSystem(&files);
        // A corrupted image is refused before the version prompt.
        const int status = bench.Run(c.check_read != 0 ? "k" : "yk");
        SetFileSystem(nullptr);

        if (c.check_read != 0) {
            ExpectFailedRun(bench, status, kExitNothingChanged,
                            "Program file " + path + " is corrupted.");
            EXPECT_EQ(bench.instrument.FlashImage(), before);
            EXPECT_FALSE(test::FileExists(bench.CalibrationFile()));
        } else {
            EXPECT_EQ(status, kExitUpgraded);
            EXPECT_EQ(bench.Flash(0x80004, kFullSize), image);
            EXPECT_TRUE(bench.instrument.MarkersValid());
            EXPECT_EQ(bench.Flash(kCalibrationAt, 1024), sim::MakeCalibrationRecord(1));
        }
    }
}

TEST(EraseFailure, ProgramAndCalibrationSectorErasesReportTheirOwnMessages) {
    struct Case {
        const char* name;
        uint32_t size;
        Fault fault;
        ExitStatus status;
        const char* message;
        bool markers_valid;
        bool program_erased;
    };
    const std::vector<Case> cases = {
        // The erase step's own link check, before anything is sent that changes flash.
        {"ping", kNormalSize, FaultAt(2, FaultKind::kNoReply, 10, 2), kExitNothingChanged,
         "Cannot erase program memory.", true, false},
        // The instrument acts on the first clear but its answers never come.
        {"marker clear", kNormalSize, FaultAt(1, FaultKind::kNoReply, 10, 14), kExitNeedsAnotherRun,
         "Cannot erase program memory.", false, false},
        {"sector 9", kNormalSize, FaultAt(3, FaultKind::kWrongEcho, 10, 16), kExitNeedsAnotherRun,
         "Cannot erase program memory.", false, false},
        // Sector 0 is the fifth erase; unanswered, but carried out.
        {"sector 0", kFullSize, FaultAt(5, FaultKind::kNoReply, 10, 16), kExitNeedsAnotherRun,
         "Cannot erase calibration sector.", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeBench bench(BenchLink::kUsb);
        bench.WriteImage(c.size);
        bench.instrument.AddFault(c.fault);

        ExpectFailedRun(bench, bench.Run("yk"), c.status, c.message);
        EXPECT_EQ(bench.instrument.MarkersValid(), c.markers_valid);
        EXPECT_EQ(test::Erased(bench.Flash(0x80000, 0x40000)), c.program_erased);
        EXPECT_FALSE(bench.instrument.RemoteMode());
        EXPECT_EQ(test::FileExists(bench.CalibrationFile()), c.size == kFullSize);
    }
}

TEST(RestoreFailure, ProgramVerifiedButNoMarkersAndTheRecordKeptOnDisk) {
    struct Case {
        const char* name;
        std::vector<uint8_t> request;
        int nth;
        FaultKind kind;
        uint32_t exchanges;
    };
    const std::vector<Case> cases = {
        // Ten mismatches, each re-issue after its flash address.
        {"tail mismatch", {15, 0, 14}, 1, FaultKind::kProgramMismatch, 20},
        // The restore's link check, before the permission is ever granted.
        {"ping", {2, 0, 0}, 4, FaultKind::kNoReply, 10},
        {"verification", {2, 7, 0}, 3, FaultKind::kNoReply, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t at = ExchangeInCleanRun(BenchLink::kUsb, kFullSize, c.request, c.nth);
        UpgradeBench bench(BenchLink::kUsb);
        const std::vector<uint8_t> image = bench.WriteImage(kFullSize);
        bench.instrument.AddFault(FaultAt(at, c.kind, c.exchanges));

        ExpectFailedRun(bench, bench.Run("yk"), kExitNeedsAnotherRun,
                        "Cannot restore calibration sector.");
        EXPECT_EQ(bench.Flash(0x80004, kFullSize), image);
        EXPECT_FALSE(bench.instrument.MarkersValid());
        EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), sim::MakeCalibrationRecord(1));
        // The permission was withdrawn after the restore, whatever happened.
        const std::vector<sim::LoggedRequest>& log = bench.instrument.Log();
        ASSERT_FALSE(log.empty());
        bool withdrawn_after = false;
        for (size_t i = at; i < log.size(); ++i) {
            const std::vector<uint8_t>& b = log[i].bytes;
            withdrawn_after = withdrawn_after || (b.size() == 6 && b[0] == 3 && b[1] == 42 &&
                                                  b[4] == 0 && b[5] == 0 && log[i].answered);
        }
        EXPECT_TRUE(withdrawn_after);
    }
}

// After the verified download (and restore), a step that gives up leaves a
// program that is not marked valid: the operator is told so, caldata.bin stays.
TEST(AfterVerification, AGivingUpWithdrawalOrMarkerWordIsReported) {
    const std::string kCalibrationState =
        " The new program and the calibration record are\r\n"
        " verified in flash, but the instrument did not\r\n"
        " answer or did not confirm marking it valid.\r\n"
        " caldata.bin is kept: run the upgrade again.";
    struct Case {
        const char* name;
        uint32_t size;
        Fault fault;
        const char* message_start;
        bool markers_valid;
    };
    // The restore's withdrawal of the write permission, its last request.
    const uint32_t withdrawal =
        ExchangeInCleanRun(BenchLink::kUsb, kFullSize, {3, 42, 0, 0, 0, 0}, 3);
    const std::vector<Case> cases = {
        {"withdrawal", kFullSize, FaultAt(withdrawal, FaultKind::kNoReply, 10),
         " The new program and the calibration record are", false},
        // ProgramFlashWord: two marker clears, then the marker words; the
        // instrument resets at every try of the first.
        {"marker word", kFullSize, FaultAt(3, FaultKind::kInstrumentReset, 10, 14),
         " The new program and the calibration record are", false},
        // One reset before the first: the instrument, out of remote mode,
        // answers both but refuses to program them.
        {"marker words refused", kFullSize, FaultAt(3, FaultKind::kInstrumentReset, 1, 14),
         " The new program and the calibration record are", false},
        // The second is programmed, but its answers never come: not confirmed.
        {"marker word, normal size", kNormalSize, FaultAt(4, FaultKind::kNoReply, 10, 14),
         " The new program is verified in flash, but", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeBench bench(BenchLink::kUsb);
        const std::vector<uint8_t> image = bench.WriteImage(c.size);
        bench.instrument.AddFault(c.fault);

        const int status = bench.Run("yk");
        const std::string shown = bench.MessageTexts().empty() ? "" : bench.MessageTexts().back();
        EXPECT_EQ(shown.rfind(c.message_start, 0), 0u) << shown;
        if (c.size == kFullSize) {
            ExpectFailedRun(bench, status, kExitNeedsAnotherRun, kCalibrationState);
            EXPECT_EQ(test::ReadBytes(bench.CalibrationFile()), sim::MakeCalibrationRecord(1));
        } else {
            EXPECT_EQ(status, kExitNeedsAnotherRun);
        }
        EXPECT_EQ(bench.Flash(0x80004, c.size), image);
        EXPECT_EQ(bench.Flash(kCalibrationAt, 1024), sim::MakeCalibrationRecord(1));
        EXPECT_EQ(bench.instrument.MarkersValid(), c.markers_valid);
        EXPECT_FALSE(bench.instrument.RemoteMode());
    }
}

TEST(Restart, IsSentWithoutWaitingAndCompletesWhateverBecomesOfIt) {
    const uint32_t at = ExchangeInCleanRun(BenchLink::kUsb, kNormalSize, {3, 6});
    for (FaultKind kind : {FaultKind::kNoReply, FaultKind::kHostCut}) {
        UpgradeBench bench(BenchLink::kUsb);
        bench.WriteImage(kNormalSize);
        bench.instrument.AddFault(FaultAt(at, kind, 10));

        EXPECT_EQ(bench.Run("y"), kExitUpgraded);
        EXPECT_TRUE(bench.ShownAtPause(kComplete));
        EXPECT_TRUE(bench.instrument.MarkersValid());
        EXPECT_EQ(KeepAwakeActiveCount(), 0);
        // One restart request, never repeated for want of a reply.
        EXPECT_EQ(bench.ExchangeOf({3, 6}, 2), 0u);
        EXPECT_EQ(bench.instrument.RestartCount(), kind == FaultKind::kNoReply ? 1u : 0u);
    }
}

// The download's own guards, which the upgrade sequence never trips with its
// fixed addresses and its checked image.
TEST(DownloadGuards, RangesOutsideFlashAndAVanishedImageSendNothing) {
    UpgradeBench bench(BenchLink::kUsb);
    ASSERT_TRUE(InitConsole("test"));
    struct Case {
        uint32_t start;
        uint32_t end;
        const char* message;
    };
    const std::vector<Case> cases = {
        {0x7FFFE, 0xBFFFF, "Start address is not in Flash region."},
        {0x100000, 0x100010, "Start address is not in Flash region."},
        {0x80004, 0x100000, "Out of range end address."},
        // Rounded down to even first: 0x80005 becomes 0x80004, above the end.
        {0x80006, 0x80005, "Out of range end address."},
    };
    bench.WriteImage(kNormalSize);
    CheckedImage image;
    ASSERT_EQ(CheckProgramFile(bench.FileBeside("vtrlprog.bin").c_str(), &image),
              kProgramFileSound);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        bench.PushKeys("k");
        EXPECT_FALSE(DownloadProgramFile(image, c.start, c.end));
        EXPECT_TRUE(bench.ShownAtKey(c.message));
    }
    const std::string missing = bench.FileBeside("gone.bin");
    CheckedImage gone;
    EXPECT_EQ(CheckProgramFile(missing.c_str(), &gone), kProgramFileCannotOpen);
    bench.PushKeys("k");
    EXPECT_FALSE(DownloadProgramFile(gone, 0x80004, 0xBFFFF));
    EXPECT_NE(bench.Printed().find("Cannot open program file " + missing + "."), std::string::npos);
    EXPECT_EQ(bench.instrument.ExchangeCount(), 0u);
    EXPECT_EQ(bench.PendingKeys(), 0u);
    EXPECT_FALSE(test::FileExists(missing));
}

TEST(SerialLink, FailuresReportTheSameOverTheSerialLine) {
    UpgradeBench bench(BenchLink::kSerial);
    bench.WriteImage(kFullSize);
    bench.instrument.AddFault(FaultAt(1, FaultKind::kWrongClosingEcho, 10, 1));

    ExpectFailedRun(bench, bench.Run("yk"), kExitNothingChanged,
                    "Unable to retrieve calibration data!");
    EXPECT_TRUE(bench.instrument.MarkersValid());
    EXPECT_FALSE(bench.instrument.RemoteMode());

    UpgradeBench mismatch(BenchLink::kSerial);
    mismatch.WriteImage(kNormalSize);
    mismatch.instrument.AddFault(FaultAt(4, FaultKind::kProgramMismatch, 10, 15));
    ExpectFailedRun(mismatch, mismatch.Run("yk"), kExitNeedsAnotherRun, "Excessive retries error.");
    EXPECT_FALSE(mismatch.instrument.MarkersValid());
}

}  // namespace
}  // namespace vtrl
