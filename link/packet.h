// The packet sizes both links carry, defined here once: the largest request
// the instrument takes, and the USB response block, which is as long.  The
// links' own sizes (serial queues, USB report lengths) derive from them.
#pragma once

#include <cstddef>

namespace vtrl {

// The largest request packet in bytes, the command number included; also the
// longest reply the serial link reads (a ReadMemory reply of 254 bytes with its
// two echoes).
constexpr int kPacketLimit = 256;

// One USB response: a block as long as the largest packet, the echo byte first.
constexpr size_t kUsbResponseBytes = kPacketLimit;

}  // namespace vtrl
