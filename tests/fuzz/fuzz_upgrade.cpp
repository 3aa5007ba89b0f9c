// A whole upgrade against a fuzzed instrument: the first byte sets the scene
// (link, size class, an earlier caldata.bin, an erased calibration sector, the
// answer at the retry prompt); then, exchange by exchange, the fuzzer's bytes
// decide whether the stand-in answers correctly, answers with wrong bytes
// (echo, length, any value: version, CRC, transfer buffer address, word
// counts), stays silent, ignores the request, answers late or resets.
//
// After every run: the program ended, with no wait between two requests
// beyond what its time-outs allow; if it told the operator the upgrade is
// complete, the flash holds the image, valid markers and the original
// calibration record; the original record is never lost (on the instrument or
// in a valid caldata.bin).  An instrument that forges the CRC the program
// verifies with can hide any flash: those runs are held to the first two
// checks only.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/entry.h"
#include "sim/image.h"
#include "sim/instrument.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/upgrade/upgrade_bench.h"
#include "tests/upgrade/upgrade_files.h"

namespace {

using vtrl::fuzz::FuzzInput;
using vtrl::sim::ExchangeAction;
using vtrl::sim::Instrument;
using vtrl::test::kCalibrationAt;

constexpr uint32_t kSmallImage = 1001;
constexpr uint32_t kFullImage = 262142;     // just into the calibration branch
constexpr uint64_t kLongestWaitMs = 12000;  // one reply's time-out, a retry pause, a found window
constexpr uint64_t kFinalPauseMs = 5000;

class FuzzedInstrument final : public vtrl::sim::ExchangeHook {
  public:
    FuzzedInstrument(FuzzInput& in, const vtrl::Clock& clock) : in_(in), clock_(clock) {}

    ExchangeAction Decide(uint32_t exchange, const std::vector<uint8_t>& request) override {
        arrivals_ms_.push_back(clock_.NowMs());
        op_ = in_.Byte() % 16;
        if (trace_) {
            std::fprintf(stderr, "%8llu ms  #%u op %2d ",
                         static_cast<unsigned long long>(clock_.NowMs()), exchange, op_);
            for (size_t i = 0; i < request.size() && i < 8; ++i) {
                std::fprintf(stderr, " %02X", request[i]);
            }
            std::fprintf(stderr, "\n");
        }
        switch (op_) {
            case 8:
                return ExchangeAction::kSilent;
            case 9:
                return ExchangeAction::kIgnore;
            case 10:
                return ExchangeAction::kReset;
            default:
                return ExchangeAction::kAnswer;
        }
    }

    void Shape(uint32_t, const std::vector<uint8_t>& request, Instrument::Reply* reply) override {
        std::vector<uint8_t>& b = reply->bytes;
        const bool crc_query = request.size() >= 2 && request[0] == 2 && request[1] == 7;
        switch (op_) {
            case 11:
                reply->delay_ms += uint32_t{in_.Byte()} * 100;
                break;
            case 12:
                b[0] ^= static_cast<uint8_t>(in_.Byte() | 1);
                break;
            case 13: {
                const size_t at = in_.Byte() % b.size();
                b[at] = in_.Byte();
                forged_ = forged_ || (crc_query && at > 0);
                break;
            }
            case 14: {
                const uint8_t k = in_.Byte();
                if ((k & 0x80) != 0) {
                    for (int i = 0; i <= (k & 7); ++i) {
                        b.push_back(in_.Byte());
                    }
                } else {
                    b.resize(b.size() - std::min<size_t>(b.size(), 1 + k % 8));
                    forged_ = forged_ || crc_query;  // a USB response reads the rest as 0
                }
                break;
            }
            case 15:
                if ((in_.Byte() & 1) != 0) {
                    reply->omit_closing_echo = true;
                } else {
                    reply->closing_echo_wrong = true;
                }
                break;
            default:
                break;
        }
    }

    bool Forged() const { return forged_; }
    uint64_t LongestGapMs() const {
        uint64_t longest = 0;
        for (size_t i = 1; i < arrivals_ms_.size(); ++i) {
            longest = std::max(longest, arrivals_ms_[i] - arrivals_ms_[i - 1]);
        }
        return longest;
    }
    uint64_t LastArrivalMs() const { return arrivals_ms_.empty() ? 0 : arrivals_ms_.back(); }

  private:
    FuzzInput& in_;
    const vtrl::Clock& clock_;
    const bool trace_ = std::getenv("VTRL_FUZZ_TRACE") != nullptr;  // each exchange on stderr
    int op_ = 0;
    bool forged_ = false;
    std::vector<uint64_t> arrivals_ms_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vtrl;
    using test::UpgradeBench;
    FuzzInput in(data, size);
    const uint8_t scene = in.Byte();
    const int link = scene % 3;
    const bool full_size = (scene & 0x04) != 0;
    const bool earlier_copy = (scene & 0x08) != 0;
    const bool sector_erased = (scene & 0x10) != 0;
    const char retry_answer = (scene & 0x20) != 0 ? 'n' : 'y';

    sim::InstrumentConfig config;
    config.usb_release = link == 1 ? 1 : 2;
    config.factory_image_size = 4096;  // what the upgrade replaces: small is quick to make
    UpgradeBench bench(link == 2 ? test::BenchLink::kSerial : test::BenchLink::kUsb, config);
    const std::vector<uint8_t> image = bench.WriteImage(full_size ? kFullImage : kSmallImage);
    const std::vector<uint8_t> record = sim::MakeCalibrationRecord(config.factory_seed);
    if (earlier_copy) {
        test::WriteBytes(bench.CalibrationFile(), record);
    }
    if (sector_erased) {
        bench.instrument.WriteFlashRaw(kCalibrationAt, std::vector<uint8_t>(1024, 0xFF));
    }
    const std::vector<uint8_t> sector_before = bench.Flash(kCalibrationAt, 1024);
    // The record to keep: the instrument's, or the only copy in caldata.bin.
    const bool record_exists = !sector_erased || earlier_copy;

    bench.AnswerPrompts(retry_answer);
    if (std::getenv("VTRL_FUZZ_TRACE") != nullptr) {
        bench.instrument.SetEventSink([](const sim::InstrumentEvent& e) {
            std::fprintf(stderr, "          %s\n", e.Text().c_str());
        });
    }
    const std::vector<uint8_t> flash_before = bench.instrument.FlashImage();
    FuzzedInstrument fuzzed(in, bench.clock);
    bench.instrument.SetExchangeHook(&fuzzed);
    const int status = bench.Run("");
    bench.instrument.SetExchangeHook(nullptr);

    // It ended, and never waited longer than its time-outs allow.
    VTRL_FUZZ_CHECK(status >= 0);
    VTRL_FUZZ_CHECK(fuzzed.LongestGapMs() <= kLongestWaitMs);
    VTRL_FUZZ_CHECK(bench.clock.NowMs() <= fuzzed.LastArrivalMs() + kLongestWaitMs + kFinalPauseMs);
    const bool complete = bench.ShownAtPause(vtrl::test::kComplete);
    VTRL_FUZZ_CHECK(complete == (status == kExitUpgraded));
    // Status 4 says the instrument is as the run found it, whatever it answered.
    VTRL_FUZZ_CHECK(status != kExitNothingChanged || bench.instrument.FlashImage() == flash_before);
    if (fuzzed.Forged()) {
        return 0;
    }
    const std::vector<uint8_t> sector = bench.Flash(kCalibrationAt, 1024);
    const bool file_holds_record = test::FileExists(bench.CalibrationFile()) &&
                                   test::ReadBytes(bench.CalibrationFile()) == record;
    if (complete && std::getenv("VTRL_FUZZ_TRACE") != nullptr) {
        const std::vector<uint8_t> flash =
            bench.Flash(0x80004, static_cast<uint32_t>(image.size()));
        for (size_t i = 0; i < image.size(); ++i) {
            if (flash[i] != image[i]) {
                std::fprintf(stderr, "flash differs from 0x%zX: %02X, image %02X\n", 0x80004 + i,
                             flash[i], image[i]);
                break;
            }
        }
    }
    if (complete) {
        VTRL_FUZZ_CHECK(bench.instrument.MarkersValid());
        VTRL_FUZZ_CHECK(bench.Flash(0x80004, static_cast<uint32_t>(image.size())) == image);
        // The record put back (rebuilt when there was none); a small image
        // leaves the sector alone.
        if (!full_size) {
            VTRL_FUZZ_CHECK(sector == sector_before);
        } else if (record_exists) {
            VTRL_FUZZ_CHECK(sector == record);
        } else {
            VTRL_FUZZ_CHECK(sim::CalibrationRecordValid(sector.data(), sector.size()));
        }
    }
    if (record_exists) {
        VTRL_FUZZ_CHECK(sector == record || file_holds_record);
    }
    // Whatever caldata.bin holds is a whole valid record.
    if (test::FileExists(bench.CalibrationFile())) {
        const std::vector<uint8_t> saved = test::ReadBytes(bench.CalibrationFile());
        VTRL_FUZZ_CHECK(sim::CalibrationRecordValid(saved.data(), saved.size()));
    }
    return 0;
}
