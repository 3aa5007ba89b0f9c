#include "driver/crc16.h"

namespace vtrl {
namespace {

constexpr std::array<uint16_t, 256> kTable = CRC16BuildTable();
static_assert(kTable[0x01] == 0xC0C1 && kTable[0x80] == 0xA001 && kTable[0xFF] == 0x4040,
              "CRC-16/ARC table");

Crc16 g_default;

}  // namespace

Crc16& Crc16::Update(const uint8_t* data, size_t length) {
    if (data == nullptr) {
        return *this;
    }
    for (size_t i = 0; i < length; ++i) {
        value_ = static_cast<uint16_t>(kTable[(data[i] ^ value_) & 0xFFu] ^ (value_ >> 8));
    }
    return *this;
}

void CRC16Reset() {
    g_default = Crc16();
}

int32_t CRC16Update(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) {
        return 0;
    }
    g_default.Update(data, static_cast<size_t>(length));
    return length;
}

uint16_t CRC16Value() {
    return g_default.Value();
}

void ResetCrc16State() {
    g_default = Crc16();
}

}  // namespace vtrl
