#include "driver/crc16.h"

#include <array>

namespace vtrl {
namespace {

constexpr uint16_t kReflectedPolynomial = 0xA001;

std::array<uint16_t, 256> g_table{};
uint16_t g_value = 0;

}  // namespace

void CRC16BuildTable() {
    for (uint32_t i = 0; i < g_table.size(); ++i) {
        uint16_t v = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1u) ? static_cast<uint16_t>((v >> 1) ^ kReflectedPolynomial)
                         : static_cast<uint16_t>(v >> 1);
        }
        g_table[i] = v;
    }
}

void CRC16Reset() {
    CRC16BuildTable();
    g_value = 0;
}

int32_t CRC16Update(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) {
        return 0;
    }
    for (int32_t i = 0; i < length; ++i) {
        g_value = static_cast<uint16_t>(g_table[(data[i] ^ g_value) & 0xFFu] ^ (g_value >> 8));
    }
    return length;
}

uint16_t CRC16Value() {
    return g_value;
}

void ResetCrc16State() {
    g_table.fill(0);
    g_value = 0;
}

}  // namespace vtrl
