// The interruption sweep: an upgrade stopped at every single exchange with
// the instrument (its power lost after a request, lost half-way through one,
// or the program itself killed right after it) and at every step of writing
// or removing caldata.bin, then started again as the operator would until it
// completes.  After each interruption the calibration record must be on the
// instrument or whole in caldata.bin; the run that completes must leave the
// image, valid marker words and the instrument's own record in flash, the
// write permission withdrawn and caldata.bin gone; and at no moment may the
// marker words read valid over a program the instrument's CRC did not verify.
//
// CI runs a sample (label sweep).  scripts/sweep.sh --all runs every point:
// VTRL_SWEEP=all, split over processes with VTRL_SWEEP_SHARD=i/n; each test
// prints "SWEEP <class> | <way> | <survived> <total>" and "SWEEP-LOST ..."
// lines that the script adds up.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "driver/entry.h"
#include "driver/file_io.h"
#include "sim/image.h"
#include "tests/upgrade/upgrade_bench.h"
#include "tests/upgrade/upgrade_files.h"

namespace vtrl {
namespace {

using sim::Fault;
using sim::FaultKind;
using sim::InstrumentEvent;
using test::BenchLink;
using test::kCalibrationAt;
using test::kProgramStart;
using test::UpgradeBench;

constexpr uint32_t kSectorZero = 0xC0000;

// The program stopped dead: thrown from the stand-in's port or from the file
// seam, caught around the run.  Destructors run on the way out; none of them
// sends anything to the instrument or changes a file (caldata.bin is written
// with one unbuffered write per call, so a close adds nothing).
struct HostKilled {};

struct SizeClass {
    const char* name;
    uint32_t size;
    bool calibration;
};
constexpr SizeClass kCalibrationClass{"calibration branch, 326652 bytes", 326652, true};
constexpr SizeClass kNormalClass{"normal branch, 100001 bytes", 100001, false};

enum class Way { kPowerLost, kTorn, kKilled };
constexpr const char* kWayNames[] = {"power lost", "torn operation", "host killed"};

// One interruption: at exchange n of a run (counted from its first request),
// or at a file step (before the k-th call that changes a file, or once it is done).
struct Stop {
    Way way = Way::kPowerLost;
    uint32_t exchange = 0;  // 0: a file step
    uint32_t part = 500;    // torn: per mille of the operation done
    uint32_t file_step = 0;
    bool after_step = false;
};

// The file seam as the program uses it, counting every call that changes a
// file and killing the program at a chosen one.
class FileSteps final : public FileSystem {
  public:
    FileSteps(uint32_t kill_at, bool after) : kill_at_(kill_at), after_(after) {}
    std::FILE* Open(const char* path, const char* mode) override {
        if (std::string(mode).find_first_of("wa+") == std::string::npos) {
            return FileSystem::Open(path, mode);
        }
        std::FILE* file = Step("open " + Name(path) + " for writing",
                               [&] { return FileSystem::Open(path, mode); });
        writing_.insert(file);
        return file;
    }
    size_t Write(std::FILE* file, const uint8_t* data, size_t count) override {
        return Step("write", [&] { return FileSystem::Write(file, data, count); });
    }
    bool Flush(std::FILE* file) override {
        return Step("flush", [&] { return FileSystem::Flush(file); });
    }
    bool Close(std::FILE* file) override {
        if (writing_.erase(file) == 0 || killed_) {
            return FileSystem::Close(file);  // a killed program's files close with it
        }
        return Step("close", [&] { return FileSystem::Close(file); });
    }
    FileOutcome Replace(const char* from, const char* to) override {
        return Step("rename to " + Name(to), [&] { return FileSystem::Replace(from, to); });
    }
    FileOutcome Remove(const char* path) override {
        return Step("remove " + Name(path), [&] { return FileSystem::Remove(path); });
    }
    const std::vector<std::string>& Steps() const { return steps_; }
    bool Killed() const { return killed_; }

  private:
    static std::string Name(const char* path) {
        const std::string p(path);
        return p.substr(p.find_last_of("/\\") + 1);
    }
    template <typename Call>
    auto Step(const std::string& name, Call call) -> decltype(call()) {
        steps_.push_back(name);
        const bool here = !killed_ && steps_.size() == kill_at_;
        if (here && !after_) {
            Kill();
        }
        auto result = call();
        if (here && after_) {
            Kill();
        }
        return result;
    }
    void Kill() {
        killed_ = true;
        throw HostKilled{};
    }
    uint32_t kill_at_;
    bool after_;
    bool killed_ = false;
    std::set<std::FILE*> writing_;
    std::vector<std::string> steps_;
};

// Watches every flash change: the marker words may turn valid only over the
// image, after a CRC of exactly its range with no change to it since, and the
// program area never changes under valid marker words.
class MarkerWatch {
  public:
    MarkerWatch(sim::Instrument& instrument, const std::vector<uint8_t>& padded_image)
        : instrument_(instrument),
          image_(padded_image),
          end_(kProgramStart + static_cast<uint32_t>(padded_image.size())),
          valid_(instrument.MarkersValid()) {}

    void Event(const InstrumentEvent& e) {
        if (e.kind == InstrumentEvent::kCrcQuery) {
            verified_ = verified_ || (e.address == kProgramStart && e.address + e.length == end_);
            return;
        }
        if ((e.kind != InstrumentEvent::kErase && e.kind != InstrumentEvent::kProgram) ||
            e.length == 0) {
            return;
        }
        const bool valid_now = instrument_.MarkersValid();
        if (e.address < end_ && e.address + e.length > kProgramStart) {
            verified_ = false;
            if (valid_now) {
                Note("the program area changed under valid marker words");
            }
        }
        if (valid_now && !valid_) {
            if (!verified_) {
                Note("marker words turned valid before the instrument's CRC verified the program");
            } else if (instrument_.ReadFlash(kProgramStart, end_ - kProgramStart) != image_) {
                Note("marker words turned valid over a program that is not the image");
            }
        }
        valid_ = valid_now;
    }
    const std::string& Violation() const { return violation_; }

  private:
    void Note(const char* what) {
        if (violation_.empty()) {
            violation_ = what;
        }
    }
    sim::Instrument& instrument_;
    std::vector<uint8_t> image_;
    uint32_t end_;
    bool valid_;
    bool verified_ = false;
    std::string violation_;
};

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// The last framed text the operator saw, on one line.
std::string LastMessage(const UpgradeBench& bench) {
    if (bench.MessageTexts().empty()) {
        return "no message";
    }
    std::string text = bench.MessageTexts().back();
    for (char& c : text) {
        c = (c == '\r' || c == '\n') ? ' ' : c;
    }
    return "\"" + text + "\"";
}

// One interruption point from start to finish: the interrupted run, an
// optional second interrupted run, and the run that completes.
class PointRun {
  public:
    explicit PointRun(const SizeClass& size_class)
        : size_class_(size_class), bench_(BenchLink::kUsb) {
        image_ = bench_.WriteImage(size_class.size);
        record_ = bench_.Flash(kCalibrationAt, 1024);
        std::vector<uint8_t> padded = image_;
        if (padded.size() % 2 != 0) {
            padded.push_back(0xFF);
        }
        watch_ = std::make_unique<MarkerWatch>(bench_.instrument, padded);
        bench_.instrument.SetEventSink([this](const InstrumentEvent& e) { watch_->Event(e); });
        bench_.instrument.SetHostKillHandler([](uint32_t) { throw HostKilled{}; });
    }
    ~PointRun() {
        bench_.instrument.SetHostKillHandler(nullptr);
        bench_.instrument.SetEventSink(nullptr);
    }

    // Runs the program until `stop` strikes; "" or what went wrong.
    std::string Interrupt(const Stop& stop, const std::string& keys) {
        FileSteps steps(stop.file_step, stop.after_step);
        if (stop.exchange != 0) {
            Fault f;
            f.exchange = bench_.instrument.ExchangeCount() + stop.exchange;
            f.kind = stop.way == Way::kPowerLost ? FaultKind::kPowerLost
                     : stop.way == Way::kTorn    ? FaultKind::kTornOperation
                                                 : FaultKind::kHostKilled;
            f.part_permille = stop.part;
            bench_.instrument.AddFault(f);
        } else {
            SetFileSystem(&steps);
        }
        const std::vector<uint8_t> flash_before = bench_.instrument.FlashImage();
        bool killed = false;
        int status = kExitUpgraded;
        try {
            status = bench_.Run(keys + "kkkk");
        } catch (const HostKilled&) {
            killed = true;
        }
        // A run that lost its instrument says so before it ends.
        const std::vector<std::string>& asked = bench_.KeyScreens();
        const bool silent = !killed && status != kExitUpgraded && !asked.empty() &&
                            asked.back().find("Proceed with download?") != std::string::npos;
        // Status 4 promises a service script that the instrument is as the run found it.
        const bool said_unchanged = !killed && status == kExitNothingChanged;
        const bool changed = bench_.instrument.FlashImage() != flash_before;
        SetFileSystem(nullptr);
        bench_.instrument.ClearFaults();
        const bool struck = killed || !bench_.instrument.Powered();
        if (!bench_.instrument.Powered()) {
            bench_.instrument.PowerOn();
        }
        bench_.Restart();
        if (!struck) {
            return "the interruption never struck";
        }
        if (silent) {
            return "the interrupted run ended with status " + std::to_string(status) +
                   " and no message";
        }
        if (said_unchanged && changed) {
            return "the interrupted run ended with status 4 but had changed the flash";
        }
        return CheckKept();
    }

    // The run that must complete; "" or what was lost.
    std::string Complete(const std::string& keys) {
        const size_t log_start = bench_.instrument.Log().size();
        const int status = bench_.Run(keys + "kkkk");
        if (status != kExitUpgraded) {
            return "the next run ended with status " + std::to_string(status) + " after " +
                   LastMessage(bench_);
        }
        const std::vector<uint8_t> flash = bench_.Flash(kProgramStart, size_class_.size);
        for (size_t i = 0; i < flash.size(); ++i) {
            if (flash[i] != image_[i]) {
                return "the image differs in flash from " +
                       Hex(kProgramStart + static_cast<uint32_t>(i));
            }
        }
        if (!bench_.instrument.MarkersValid()) {
            return "the marker words are not valid";
        }
        if (bench_.Flash(kCalibrationAt, 1024) != record_) {
            return "the calibration record in flash is not the original";
        }
        for (const char* name : {"caldata.bin", "caldata.bin.tmp"}) {
            if (test::FileExists(bench_.FileBeside(name))) {
                return std::string(name) + " was left beside the program";
            }
        }
        // Every grant of the write permission is withdrawn, and answered.
        const std::vector<sim::LoggedRequest>& log = bench_.instrument.Log();
        bool granted = false;
        for (size_t i = log_start; i < log.size(); ++i) {
            const std::vector<uint8_t>& b = log[i].bytes;
            if (b.size() == 6 && b[0] == 3 && b[1] == 42) {
                granted = b[5] != 0 || !log[i].answered;
            }
        }
        return granted ? "the write permission of sector 0 was not withdrawn" : Watched();
    }

  private:
    // After an interruption: the record survives somewhere, and caldata.bin,
    // if there, is the whole record.
    std::string CheckKept() {
        const std::string file = bench_.CalibrationFile();
        const bool in_file = test::FileExists(file);
        if (in_file && test::ReadBytes(file) != record_) {
            return "caldata.bin holds something other than the whole record";
        }
        if (!in_file && bench_.Flash(kCalibrationAt, 1024) != record_) {
            return "the calibration record is lost: not in flash, no caldata.bin";
        }
        return Watched();
    }
    std::string Watched() const { return watch_->Violation(); }

    const SizeClass& size_class_;
    UpgradeBench bench_;
    std::vector<uint8_t> image_;
    std::vector<uint8_t> record_;
    std::unique_ptr<MarkerWatch> watch_;
};

// What a clean run of the class looks like: its requests and its file steps.
struct CleanRun {
    std::vector<std::vector<uint8_t>> requests;
    std::vector<std::string> file_steps;
};

CleanRun RunClean(const SizeClass& size_class) {
    CleanRun clean;
    UpgradeBench bench(BenchLink::kUsb);
    bench.WriteImage(size_class.size);
    FileSteps steps(0, false);
    SetFileSystem(&steps);
    const int status = bench.Run("y");
    SetFileSystem(nullptr);
    EXPECT_EQ(status, kExitUpgraded);
    for (const sim::LoggedRequest& r : bench.instrument.Log()) {
        clean.requests.push_back(r.bytes);
    }
    clean.file_steps = steps.Steps();
    return clean;
}

uint32_t Arg32(const std::vector<uint8_t>& b) {
    return static_cast<uint32_t>(b[2]) << 24 | static_cast<uint32_t>(b[3]) << 16 |
           static_cast<uint32_t>(b[4]) << 8 | b[5];
}

// The request as the log shows it: "SetValue(8, 0xC0000)".
std::string Describe(const std::vector<uint8_t>& b) {
    std::string text = sim::Instrument::CommandName(b[0]);
    if (b[0] == 3 && b.size() == 6) {
        text += "(" + std::to_string(b[1]) + ", " + Hex(Arg32(b)) + ")";
    } else if ((b[0] == 14 || b[0] == 15 || b[0] == 16 || b[0] == 2) && b.size() == 3) {
        text += "(" + std::to_string(b[0] == 2 ? b[1] : (b[1] << 8 | b[2])) + ")";
    }
    return text;
}

// The exchanges CI sweeps: everything before the first block and after the
// last, every erase, every programming command in sector 0 and of the
// marker words, and a stride through the blocks.
std::vector<uint32_t> SampleExchanges(const CleanRun& clean, uint32_t stride) {
    const auto& requests = clean.requests;
    size_t first_block = requests.size();
    size_t verify = requests.size();
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i][0] == 0 && first_block == requests.size()) {
            first_block = i;
        }
        if (first_block != requests.size() && requests[i][0] == 3 && requests[i][1] == 1) {
            verify = i;
            break;
        }
    }
    std::vector<uint32_t> sample;
    uint32_t flash_address = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
        const std::vector<uint8_t>& b = requests[i];
        if (b[0] == 3 && b[1] == 8) {
            flash_address = Arg32(b);
        }
        const bool flash_command = b[0] == 14 || b[0] == 15 || b[0] == 16;
        const bool take = i < first_block + 4 || i + 4 >= verify || (i + 1) % stride == 0 ||
                          b[0] == 16 || b[0] == 14 ||
                          (flash_command && flash_address >= kSectorZero);
        if (take) {
            sample.push_back(static_cast<uint32_t>(i + 1));
        }
    }
    return sample;
}

struct Tally {
    uint32_t total = 0;
    uint32_t survived = 0;
    std::vector<std::string> lost;
};

class Sweep {
  public:
    explicit Sweep(const SizeClass& size_class) : size_class_(size_class) {
        const char* mode = std::getenv("VTRL_SWEEP");
        all_ = mode != nullptr && std::string(mode) == "all";
        const char* shard = std::getenv("VTRL_SWEEP_SHARD");
        if (shard == nullptr || std::sscanf(shard, "%u/%u", &shard_, &shards_) != 2 ||
            shards_ == 0 || shard_ >= shards_) {
            shard_ = 0;
            shards_ = 1;
        }
    }

    void Run() {
        const CleanRun clean = RunClean(size_class_);
        ASSERT_FALSE(clean.requests.empty());
        std::vector<uint32_t> exchanges;
        if (all_) {
            for (uint32_t n = 1; n <= clean.requests.size(); ++n) {
                exchanges.push_back(n);
            }
        } else {
            exchanges = SampleExchanges(clean, 64);
        }
        const uint32_t m = static_cast<uint32_t>(clean.requests.size());
        for (uint32_t n : exchanges) {
            const std::vector<uint8_t>& request = clean.requests[n - 1];
            const std::string what = " exchange " + std::to_string(n) + " " + Describe(request);
            Try(Way::kPowerLost, {Way::kPowerLost, n}, "power lost after" + what, m);
            std::vector<uint32_t> parts = {(n * 389 + 113) % 1000};
            if (request[0] == 16) {
                // Torn erases cut at once, and near the end where sector 0 holds the record.
                parts.insert(parts.end(), {0, 990, 995, 999});
            }
            for (uint32_t part : parts) {
                Try(Way::kTorn, {Way::kTorn, n, part},
                    "torn at" + what + " (" + std::to_string(part) + " per mille done)", m);
            }
            Try(Way::kKilled, {Way::kKilled, n}, "killed after" + what, m);
        }
        for (uint32_t k = 1; k <= clean.file_steps.size(); ++k) {
            for (bool after : {false, true}) {
                Stop stop{Way::kKilled, 0, 0, k, after};
                Try(Way::kKilled, stop,
                    std::string(after ? "killed after" : "killed before") + " file step " +
                        std::to_string(k) + " (" + clean.file_steps[k - 1] + ")",
                    m);
            }
        }
        Report();
    }

  private:
    // One point: interrupted, then completed answering y (and once more with
    // n at the retry prompt in the calibration branch); some points get a
    // second interruption in the run after the first.
    void Try(Way way, const Stop& stop, const std::string& what, uint32_t clean_exchanges) {
        if (point_++ % shards_ != shard_) {
            return;
        }
        std::vector<std::string> answers = {"yy"};
        if (size_class_.calibration && (all_ || point_ % 4 == 0)) {
            answers.push_back("yn");
        }
        Record(
            kWayNames[static_cast<int>(way)], what,
            [&](PointRun* run, const std::string& keys) {
                std::string lost = run->Interrupt(stop, "y");
                return lost.empty() ? run->Complete(keys) : lost;
            },
            answers);
        // Every 8th (every 24th in the sample) of this process's points.
        const uint32_t own = (point_ - 1) / shards_ + 1;
        if (own % (all_ ? 8 : 24) == 0) {
            std::mt19937 random(point_);
            Stop second;
            second.way = static_cast<Way>(random() % 3);
            second.exchange = 1 + random() % clean_exchanges;
            second.part = random() % 1000;
            const std::string then =
                ", then " + std::string(kWayNames[static_cast<int>(second.way)]) + " at exchange " +
                std::to_string(second.exchange) + " of the next run";
            Record("double fault", what + then,
                   [&](PointRun* run, const std::string& keys) {
                       std::string lost = run->Interrupt(stop, "y");
                       if (lost.empty()) {
                           lost = run->Interrupt(second, "yy");
                           // The next run may end before its chosen exchange: then it completed.
                           if (lost == "the interruption never struck") {
                               lost.clear();
                           }
                       }
                       return lost.empty() ? run->Complete(keys) : lost;
                   },
                   {"yy"});
        }
    }

    // One point, survived when it is survived with every set of answers
    // ("yy": y at the version and the retry prompt; "yn": n at the retry prompt).
    void Record(const std::string& way, const std::string& what,
                const std::function<std::string(PointRun*, const std::string&)>& body,
                const std::vector<std::string>& answers) {
        Tally& tally = tallies_[way];
        ++tally.total;
        for (const std::string& keys : answers) {
            PointRun run(size_class_);
            const std::string lost = body(&run, keys);
            if (!lost.empty()) {
                tally.lost.push_back(what + (keys == "yn" ? ", then n at the retry prompt" : "") +
                                     ": " + lost);
                return;
            }
        }
        ++tally.survived;
    }

    void Report() {
        for (const auto& [way, tally] : tallies_) {
            std::printf("SWEEP %s | %s | %u %u\n", size_class_.name, way.c_str(), tally.survived,
                        tally.total);
            for (size_t i = 0; i < tally.lost.size() && i < 5; ++i) {
                std::printf("SWEEP-LOST %s | %s | %s\n", size_class_.name, way.c_str(),
                            tally.lost[i].c_str());
                ADD_FAILURE() << way << ", " << tally.lost[i];
            }
        }
        std::fflush(stdout);
    }

    const SizeClass& size_class_;
    bool all_ = false;
    unsigned shard_ = 0;
    unsigned shards_ = 1;
    uint32_t point_ = 0;
    std::map<std::string, Tally> tallies_;
};

TEST(InterruptionSweep, CalibrationBranch) {
    Sweep(kCalibrationClass).Run();
}

TEST(InterruptionSweep, NormalBranch) {
    Sweep(kNormalClass).Run();
}

}  // namespace
}  // namespace vtrl
