// CRC-16/ARC, the checksum of the image trailer, of the calibration record and
// of every flash range the instrument verifies: reflected polynomial 0xA001,
// initial value 0, no final XOR.  Check values: "123456789" gives 0xBB3D,
// "abc" 0x9738, nothing 0.
//
// Each computation owns its running value (a Crc16), so one that stays open
// for a while (the download's, across every block) cannot be reset or fed by
// another.  CRC16Reset, CRC16Update and CRC16Value are the same operations on
// one default value, for what calls them by those names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vtrl {

// The 256-entry table of the reflected polynomial (built once, at compile time).
constexpr std::array<uint16_t, 256> CRC16BuildTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < table.size(); ++i) {
        uint16_t v = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1u) ? static_cast<uint16_t>((v >> 1) ^ 0xA001u)
                         : static_cast<uint16_t>(v >> 1);
        }
        table[i] = v;
    }
    return table;
}

// One computation: starts at 0; fold bytes in order, then read the value.
class Crc16 {
  public:
    // Folds `length` bytes from `data` (nothing when it is null).
    Crc16& Update(const uint8_t* data, size_t length);
    uint16_t Value() const { return value_; }

  private:
    uint16_t value_ = 0;
};

// Starts a fresh computation on the default value (running value 0).
void CRC16Reset();

// Folds `length` bytes from `data` into the default value, in order.  A length
// of 0 or less (or a null `data`) changes nothing.  Returns the number folded.
int32_t CRC16Update(const uint8_t* data, int32_t length);

// The default value.
uint16_t CRC16Value();

// Initial state: the default value 0.
void ResetCrc16State();

}  // namespace vtrl
