// The instrument's memory as the upgrade and the calibration backup rely on
// it, in one row: every flash address, marker word and sector the program
// uses is written here once, and what follows from them is worked out below
// and checked at build time.  Addresses are byte addresses in the instrument's
// memory; flash words are 16 bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/protocol.h"

namespace vtrl {

struct InstrumentMemory {
    // The flash region a download may write, inclusive.
    uint32_t flash_first;
    uint32_t flash_last;
    // Every sector named below is this long.
    uint32_t sector_bytes;
    // The program marker words, and the values that declare the program valid.
    uint32_t marker1_address;
    uint16_t marker1_valid;
    uint32_t marker2_address;
    uint16_t marker2_valid;
    // Erased, in this order, before programming: they begin at flash_first.
    std::array<uint32_t, 4> program_sectors;
    // The image goes to flash from here, up to the last byte of the normal
    // program area, or further into the calibration sector (up to the record)
    // when it is larger.
    uint32_t program_start;
    uint32_t program_end_normal;
    uint32_t program_end_calibration;
    // The sector holding the calibration record, changed only under its write
    // permission; it follows the program sectors.
    uint32_t calibration_sector;
    uint32_t calibration_sector_first;
    // The calibration record: its address and length in bytes.
    uint32_t calibration_record_address;
    size_t calibration_record_bytes;
    // Where the instrument starts its program again at the end.
    uint32_t restart_address;
    // What the instrument's RAM transfer buffer is guaranteed to hold: one
    // block of programming.
    uint32_t transfer_buffer_bytes;
};

// clang-format off
constexpr InstrumentMemory kInstrumentMemory = {
    /* flash_first */                0x80000,
    /* flash_last */                 0xFFFFF,
    /* sector_bytes */               0x10000,
    /* marker1_address */            0x80000,
    /* marker1_valid */              0x1234,
    /* marker2_address */            0x80002,
    /* marker2_valid */              0xA5A5,
    /* program_sectors */            {7, 8, 9, 10},
    /* program_start */              0x80004,
    /* program_end_normal */         0xBFFFF,
    /* program_end_calibration */    0xCFBFF,
    /* calibration_sector */         0,
    /* calibration_sector_first */   0xC0000,
    /* calibration_record_address */ 0xCFC00,
    /* calibration_record_bytes */   1024,
    /* restart_address */            0xFFFF0,
    /* transfer_buffer_bytes */      498,
};
// clang-format on

// The bytes a download from program_start writes when it ends at `end`: up to
// the last byte of the word at end (end rounded down to even, plus 2).
constexpr uint32_t ProgramBytesUpTo(uint32_t end) {
    return (end & ~uint32_t{1}) - kInstrumentMemory.program_start + 2;
}
// The largest image that leaves the calibration sector alone (262140 bytes),
// and the largest the instrument takes at all (326652); a larger one is refused.
constexpr uint32_t kLargestNormalImage = ProgramBytesUpTo(kInstrumentMemory.program_end_normal);
constexpr uint32_t kLargestImage = ProgramBytesUpTo(kInstrumentMemory.program_end_calibration);

// The calibration record's last byte.
constexpr uint32_t kCalibrationRecordLast =
    kInstrumentMemory.calibration_record_address +
    static_cast<uint32_t>(kInstrumentMemory.calibration_record_bytes) - 1;

// One block through the transfer buffer: whole words, programmed at once.
constexpr uint32_t kFlashBlockBytes = kInstrumentMemory.transfer_buffer_bytes;

// What the row's facts must say of each other.
constexpr uint32_t kCalibrationSectorLast =
    kInstrumentMemory.calibration_sector_first + kInstrumentMemory.sector_bytes - 1;
static_assert(kInstrumentMemory.marker1_address == kInstrumentMemory.flash_first &&
                  kInstrumentMemory.marker2_address == kInstrumentMemory.marker1_address + 2 &&
                  kInstrumentMemory.program_start == kInstrumentMemory.marker2_address + 2,
              "the marker words open the flash region and the image follows them");
static_assert(kInstrumentMemory.flash_first + kInstrumentMemory.program_sectors.size() *
                                                  kInstrumentMemory.sector_bytes ==
                      kInstrumentMemory.calibration_sector_first &&
                  kInstrumentMemory.calibration_sector_first ==
                      kInstrumentMemory.program_end_normal + 1,
              "the program sectors hold the marker words and the normal program area, and the "
              "calibration sector follows them");
static_assert(kInstrumentMemory.program_end_calibration + 1 ==
                      kInstrumentMemory.calibration_record_address &&
                  kCalibrationRecordLast == kCalibrationSectorLast,
              "a large image ends where the record begins, and the record ends its sector");
static_assert(kInstrumentMemory.restart_address > kCalibrationSectorLast &&
                  kInstrumentMemory.restart_address <= kInstrumentMemory.flash_last,
              "the restart address lies in flash that the upgrade never erases");
static_assert(kFlashBlockBytes == 2 * static_cast<uint32_t>(kWriteChunkBytes),
              "a block is two WriteMemory packets");
static_assert(kFlashBlockBytes % 2 == 0 && kInstrumentMemory.calibration_record_bytes % 2 == 0 &&
                  kInstrumentMemory.calibration_record_address % 2 == 0,
              "blocks and the record are programmed in whole words");

}  // namespace vtrl
