// Contents the stand-in and the tests build: program images as the upgrade
// reads them from vtrlprog.bin, calibration records as the instrument keeps
// them at 0xCFC00, and whole flash pictures holding both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vtrl::sim {

constexpr uint32_t kProgramStart = 0x80004;  // the image goes to flash from here
constexpr uint32_t kMarker1Address = 0x80000;
constexpr uint32_t kMarker2Address = 0x80002;
constexpr uint16_t kMarker1Valid = 0x1234;
constexpr uint16_t kMarker2Valid = 0xA5A5;
constexpr size_t kImageTrailerSize = 6;  // version LE32, CRC-16 LE16
constexpr size_t kCalibrationRecordSize = 1024;
constexpr uint16_t kCalibrationMagic = 0x5A5A;

// CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final XOR.
// `crc` continues an earlier computation ("123456789" gives 0xBB3D).
uint16_t Crc16Arc(const uint8_t* data, size_t length, uint16_t crc = 0);
uint16_t Crc16Arc(const std::vector<uint8_t>& data);

// A sound image file of `total_size` bytes: pseudo-random program bytes from
// `seed`, then the trailer (version LE32, CRC-16 LE16 of all preceding bytes).
// A total size below 6 gives that many program bytes and no trailer (a file
// the upgrade must call corrupted).
std::vector<uint8_t> MakeImage(size_t total_size, uint32_t version, uint32_t seed);
// Makes the last two bytes the CRC-16 of all before them (nothing for an image
// of fewer than 2 bytes).
void SealImage(std::vector<uint8_t>& image);

// The version in an image's trailer when the trailer's CRC matches; false for
// a corrupted or too short image.
bool ImageVersion(const std::vector<uint8_t>& image, uint32_t* version);

// A valid 1024-byte calibration record: magic 0x5A5A LE, CRC-16 LE of bytes
// 4..1023, then data derived from `seed`.
std::vector<uint8_t> MakeCalibrationRecord(uint32_t seed);
// Makes the magic and the CRC of the 1024-byte record at `record` right,
// whatever its bytes 4..1023 hold.
void SealCalibrationRecord(uint8_t* record);
// Magic and CRC both right; false for a record of any other size.
bool CalibrationRecordValid(const uint8_t* record, size_t length);

// A whole flash picture (0x80000..0xFFFFF, index = address - 0x80000): erased,
// a boot block above 0xD0000, `image` from 0x80004, the calibration record at
// 0xCFC00 (when given) and the marker words (when `markers_valid`).
std::vector<uint8_t> MakeFlashPicture(const std::vector<uint8_t>& image,
                                      const std::vector<uint8_t>& calibration, bool markers_valid);

}  // namespace vtrl::sim
