// Whole upgrades over a bad line: the stand-in's replies lost, changed or
// delayed past the time-out at random (sim::LossyLine), seeded, in-process on
// the virtual clock.  Shared by the bad-line test and the table tool.
#pragma once

#include <cstdint>
#include <string>

#include "sim/lossy_line.h"

namespace vtrl::test {

enum class LineLink { kUsb, kUsbReadyFlag, kSerial };
const char* LineLinkName(LineLink link);

constexpr uint32_t kBadLineNormalImage = 20001;        // 40 blocks and an odd tail
constexpr uint32_t kBadLineCalibrationImage = 326652;  // the largest image

struct BadLineRun {
    int status = -1;
    bool completed = false;    // the operator was told the upgrade is complete
    std::string last_message;  // the text of the last framed window
    uint64_t virtual_ms = 0;
    uint32_t exchanges = 0;
    uint32_t disturbed = 0;
    uint32_t disturbed_in_blocks = 0;  // from the first block's write to the last block's program
    int most_retries_shown = -1;       // highest retry count on a progress line; -1: none shown
    bool flash_upgraded = false;       // image from 0x80004, markers valid, the original record
    bool calibration_safe = false;     // the original record on the instrument or in caldata.bin
    bool remote_mode = false;          // the instrument left in remote mode
    bool remote_mode_entered = false;
    uint64_t longest_exchange_ms = 0;  // longest gap between two requests the instrument took
};

BadLineRun RunOverBadLine(LineLink link, bool calibration_branch, double rate, uint32_t seed,
                          unsigned kinds = sim::LossyLine::kAll);

}  // namespace vtrl::test
