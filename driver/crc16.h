// CRC-16/ARC, the checksum of the image trailer, of the calibration record and
// of every flash range the instrument verifies: reflected polynomial 0xA001,
// initial value 0, no final XOR.  Check values: "123456789" gives 0xBB3D,
// "abc" 0x9738, nothing 0.
//
// One module-level accumulator serves the whole program: a computation is
// CRC16Reset, one or more CRC16Update, CRC16Value, never interleaved with another.
#pragma once

#include <cstdint>

namespace vtrl {

// Fills the 256-entry table (called by CRC16Reset).
void CRC16BuildTable();

// Rebuilds the table and sets the running value to 0.
void CRC16Reset();

// Folds `length` bytes from `data` into the running value, in order.  A length
// of 0 or less (or a null `data`) changes nothing.  Returns the number folded.
int32_t CRC16Update(const uint8_t* data, int32_t length);

// The running value.
uint16_t CRC16Value();

// Initial state: empty table, running value 0.
void ResetCrc16State();

}  // namespace vtrl
