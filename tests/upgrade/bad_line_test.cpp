// Whole upgrades over a bad line: replies lost, changed in one byte or delayed
// past the time-out at random (seeded, on the virtual clock), over USB (both
// response ways) and the serial line, in both size classes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/upgrade/bad_line.h"

namespace vtrl::test {
namespace {

// Longest wait for one reply (10 s) and the pause before the next attempt,
// with room for the found window's 1.5 s between discovery and the status read.
constexpr uint64_t kLongestExchangeMs = 11600;

struct Setting {
    LineLink link;
    bool calibration_branch;
};
const std::vector<Setting> kSettings = {
    {LineLink::kUsb, false},         {LineLink::kUsb, true},     {LineLink::kUsbReadyFlag, false},
    {LineLink::kUsbReadyFlag, true}, {LineLink::kSerial, false}, {LineLink::kSerial, true},
};

std::string Name(const Setting& s, double rate, uint32_t seed) {
    return std::string(LineLinkName(s.link)) + (s.calibration_branch ? ", full size" : ", small") +
           ", rate " + std::to_string(rate) + ", seed " + std::to_string(seed);
}

TEST(BadLine, RetriesAbsorbOneAndTenPercentAndShowOnTheProgressLine) {
    for (const Setting& s : kSettings) {
        for (double rate : {0.01, 0.10}) {
            for (uint32_t seed : {1u, 2u}) {
                SCOPED_TRACE(Name(s, rate, seed));
                const BadLineRun r = RunOverBadLine(s.link, s.calibration_branch, rate, seed);
                EXPECT_TRUE(r.calibration_safe);
                EXPECT_LE(r.longest_exchange_ms, kLongestExchangeMs);
                if (!r.remote_mode_entered) {
                    // The one version query of discovery was lost: nothing was started.
                    EXPECT_EQ(r.last_message, " No instrument connected!\r\n Aborting -- ");
                    continue;
                }
                EXPECT_TRUE(r.completed) << r.last_message;
                EXPECT_TRUE(r.flash_upgraded);
                EXPECT_FALSE(r.remote_mode);
                if (r.disturbed_in_blocks > 0) {
                    EXPECT_GT(r.most_retries_shown, 0);
                }
            }
        }
    }
}

TEST(BadLine, EveryExchangeDisturbedEndsWithAMessageWithinTheRetryRules) {
    const std::vector<std::string> endings = {
        " No instrument connected!\r\n Aborting -- ",
        "Unable to retrieve calibration data!\r\n Download aborted.\r\n Please press a key...",
        "Cannot erase program memory.\r\n Download aborted.\r\n Please press a key...",
        "Excessive retries error.\r\n Download aborted.\r\n Please press a key...",
    };
    for (const Setting& s : kSettings) {
        for (uint32_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(Name(s, 1.0, seed));
            const BadLineRun r = RunOverBadLine(s.link, s.calibration_branch, 1.0, seed);
            EXPECT_FALSE(r.completed);
            EXPECT_NE(r.status, 0);
            EXPECT_FALSE(r.remote_mode);
            EXPECT_TRUE(r.calibration_safe);
            EXPECT_NE(std::find(endings.begin(), endings.end(), r.last_message), endings.end())
                << r.last_message;
            EXPECT_LE(r.longest_exchange_ms, kLongestExchangeMs);
            EXPECT_LE(r.virtual_ms, (r.exchanges + 1) * kLongestExchangeMs);
        }
    }
}

}  // namespace
}  // namespace vtrl::test
