#include "tests/upgrade/bad_line.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "driver/entry.h"
#include "sim/image.h"
#include "tests/upgrade/upgrade_bench.h"
#include "tests/upgrade/upgrade_files.h"

namespace vtrl::test {
namespace {

constexpr uint32_t kCalibrationBytes = 1024;

// The lossy line, with the virtual time at which each request arrived.
class TimedLine final : public sim::LossyLine {
  public:
    TimedLine(double rate, uint32_t seed, unsigned kinds, const Clock& clock)
        : LossyLine(rate, seed, kinds), clock_(clock) {}
    sim::ExchangeAction Decide(uint32_t exchange, const std::vector<uint8_t>& request) override {
        arrivals_ms_.push_back(clock_.NowMs());
        return LossyLine::Decide(exchange, request);
    }
    uint64_t LongestGapMs() const {
        uint64_t longest = 0;
        for (size_t i = 1; i < arrivals_ms_.size(); ++i) {
            longest = std::max(longest, arrivals_ms_[i] - arrivals_ms_[i - 1]);
        }
        return longest;
    }

  private:
    const Clock& clock_;
    std::vector<uint64_t> arrivals_ms_;
};

int MostRetriesShown(const std::string& printed) {
    int most = -1;
    const std::string key = " Remaining blocks: ";
    for (size_t at = printed.find(key); at != std::string::npos;
         at = printed.find(key, at + key.size())) {
        int blocks = 0;
        int retries = 0;
        if (std::sscanf(printed.c_str() + at, " Remaining blocks: %d  Retries: %d", &blocks,
                        &retries) == 2) {
            most = std::max(most, retries);
        }
    }
    return most;
}

// Exchange numbers (1-based) of the first and the last request starting with `command`.
std::pair<uint32_t, uint32_t> FirstAndLast(const std::vector<sim::LoggedRequest>& log,
                                           uint8_t command) {
    uint32_t first = 0;
    uint32_t last = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (!log[i].bytes.empty() && log[i].bytes[0] == command) {
            last = static_cast<uint32_t>(i + 1);
            first = first == 0 ? last : first;
        }
    }
    return {first, last};
}

}  // namespace

const char* LineLinkName(LineLink link) {
    switch (link) {
        case LineLink::kUsb:
            return "USB";
        case LineLink::kUsbReadyFlag:
            return "USB ready flag";
        case LineLink::kSerial:
            return "serial";
    }
    return "";
}

BadLineRun RunOverBadLine(LineLink link, bool calibration_branch, double rate, uint32_t seed,
                          unsigned kinds) {
    sim::InstrumentConfig config;
    config.usb_release = link == LineLink::kUsbReadyFlag ? 1 : 2;
    UpgradeBench bench(link == LineLink::kSerial ? BenchLink::kSerial : BenchLink::kUsb, config);
    const std::vector<uint8_t> image = bench.WriteImage(
        calibration_branch ? kBadLineCalibrationImage : kBadLineNormalImage, 1007, seed);
    const std::vector<uint8_t> record = sim::MakeCalibrationRecord(config.factory_seed);
    bench.AnswerPrompts();
    TimedLine line(rate, seed, kinds, bench.clock);
    bench.instrument.SetExchangeHook(&line);

    BadLineRun run;
    run.status = bench.Run("");
    bench.instrument.SetExchangeHook(nullptr);

    run.completed = bench.ShownAtPause(kComplete);
    if (!bench.MessageTexts().empty()) {
        run.last_message = bench.MessageTexts().back();
    }
    run.virtual_ms = bench.clock.NowMs();
    run.exchanges = bench.instrument.ExchangeCount();
    run.disturbed = static_cast<uint32_t>(line.Disturbed().size());
    const uint32_t blocks_from = FirstAndLast(bench.instrument.Log(), 0).first;
    const uint32_t blocks_to = FirstAndLast(bench.instrument.Log(), 15).second;
    run.disturbed_in_blocks = static_cast<uint32_t>(
        std::count_if(line.Disturbed().begin(), line.Disturbed().end(),
                      [&](uint32_t n) { return n >= blocks_from && n <= blocks_to; }));
    run.most_retries_shown = MostRetriesShown(bench.Printed());
    run.flash_upgraded = bench.instrument.MarkersValid() &&
                         bench.Flash(kProgramStart, static_cast<uint32_t>(image.size())) == image &&
                         bench.Flash(kCalibrationAt, kCalibrationBytes) == record;
    run.calibration_safe =
        bench.Flash(kCalibrationAt, kCalibrationBytes) == record ||
        (FileExists(bench.CalibrationFile()) && ReadBytes(bench.CalibrationFile()) == record);
    run.remote_mode = bench.instrument.RemoteMode();
    run.remote_mode_entered = bench.ExchangeOf({71, 1}) != 0;
    run.longest_exchange_ms = line.LongestGapMs();
    return run;
}

}  // namespace vtrl::test
