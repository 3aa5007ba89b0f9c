// Whole upgrades in-process against the instrument stand-in, over USB and over
// the serial line, for every size class and block boundary.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "driver/entry.h"
#include "driver/keep_awake.h"
#include "sim/image.h"
#include "tests/common/test_hooks.h"
#include "tests/upgrade/upgrade_bench.h"
#include "tests/upgrade/upgrade_files.h"

namespace vtrl {
namespace {

using test::BenchLink;
using test::kCalibrationAt;
using test::kComplete;
using test::UpgradeBench;

std::vector<uint8_t> SetValueRequest(uint8_t selector, uint32_t value) {
    return {3,
            selector,
            static_cast<uint8_t>(value >> 24),
            static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

struct Progress {
    int blocks_left;
    int retries;
};

// Every progress line printed, in order.
std::vector<Progress> ProgressLines(const std::string& printed) {
    std::vector<Progress> lines;
    const std::string key = " Remaining blocks: ";
    for (size_t at = printed.find(key); at != std::string::npos;
         at = printed.find(key, at + key.size())) {
        Progress p{};
        if (std::sscanf(printed.c_str() + at, " Remaining blocks: %d  Retries: %d", &p.blocks_left,
                        &p.retries) == 2) {
            lines.push_back(p);
        }
    }
    return lines;
}

class FullUpgrade : public ::testing::TestWithParam<std::tuple<BenchLink, uint32_t>> {};

TEST_P(FullUpgrade, ImageMarkersAndCalibrationEndUpInFlash) {
    const BenchLink link = std::get<0>(GetParam());
    const uint32_t size = std::get<1>(GetParam());
    const bool calibration_branch = size > 262140;
    UpgradeBench bench(link);
    const std::vector<uint8_t> calibration = bench.Flash(kCalibrationAt, 1024);
    const std::vector<uint8_t> image = bench.WriteImage(size, 1007);

    EXPECT_EQ(bench.Run("y"), kExitUpgraded);

    EXPECT_TRUE(bench.ShownAtKey(" Old program version:  1.006"));
    EXPECT_TRUE(bench.ShownAtKey(" New program version:  1.007"));
    EXPECT_EQ(bench.PendingKeys(), 0u);  // no retry prompt, no message
    EXPECT_TRUE(bench.ShownAtPause(kComplete));

    EXPECT_EQ(bench.Flash(0x80004, size), image);
    const uint32_t padded = size + size % 2;
    if (padded != size) {
        EXPECT_EQ(bench.Flash(0x80004 + size, 1)[0], 0xFF);
    }
    EXPECT_EQ(bench.instrument.FlashWord(0x80000), 0x1234);
    EXPECT_EQ(bench.instrument.FlashWord(0x80002), 0xA5A5);
    EXPECT_EQ(bench.Flash(kCalibrationAt, 1024), calibration);
    EXPECT_FALSE(test::FileExists(bench.CalibrationFile()));
    EXPECT_FALSE(test::FileExists(bench.CalibrationFile() + ".tmp"));
    EXPECT_EQ(bench.instrument.RestartCount(), 1u);
    EXPECT_EQ(bench.instrument.RestartAddress(), 0xFFFF0u);
    EXPECT_FALSE(bench.instrument.CalibrationWriteAllowed());
    EXPECT_EQ(KeepAwakeActiveCount(), 0);

    // Sector 0 is erased only when the image reaches into it.
    EXPECT_EQ(bench.ExchangeOf({16, 0, 0}) != 0, calibration_branch);
    // The instrument was asked for the CRC over exactly the bytes sent, pad included.
    const int download_crc = calibration_branch ? 2 : 1;
    const uint32_t last = 0x80004 + padded - 1;
    EXPECT_NE(bench.ExchangeOf(SetValueRequest(2, last), 1), 0u);
    EXPECT_EQ(bench.ExchangeOf({3, 2}, download_crc),
              bench.ExchangeOf(SetValueRequest(2, last), 1));

    // The progress line counts the whole blocks down to 0; none for a lone tail.
    const std::vector<Progress> progress = ProgressLines(bench.Printed());
    ASSERT_EQ(progress.size(), size / 498);
    for (size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(progress[i].blocks_left, static_cast<int>(progress.size() - 1 - i));
        EXPECT_EQ(progress[i].retries, 0);
    }
}

std::string Name(const ::testing::TestParamInfo<std::tuple<BenchLink, uint32_t>>& info) {
    return std::string(std::get<0>(info.param) == BenchLink::kUsb ? "Usb" : "Serial") +
           std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FullUpgrade,
                         ::testing::Combine(::testing::Values(BenchLink::kUsb, BenchLink::kSerial),
                                            ::testing::Values(6u, 7u, 497u, 498u, 499u, 996u,
                                                              262140u, 262141u, 326652u)),
                         Name);

}  // namespace
}  // namespace vtrl
