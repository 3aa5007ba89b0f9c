// Request builders and host-side helpers shared by the stand-in's tests.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/clock.h"
#include "sim/instrument.h"

namespace vtrl::sim::testing {

inline void Put(std::vector<uint8_t>& out, uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

inline std::vector<uint8_t> QueryValueReq(uint8_t selector) {
    return {2, selector, 0};
}
inline std::vector<uint8_t> SetValueReq(uint8_t selector, uint32_t value) {
    std::vector<uint8_t> r{3, selector};
    Put(r, value >> 16, 2);
    Put(r, value & 0xFFFF, 2);
    return r;
}
inline std::vector<uint8_t> OneArgReq(uint8_t command, uint16_t arg) {
    std::vector<uint8_t> r{command};
    Put(r, arg, 2);
    return r;
}
inline std::vector<uint8_t> WriteMemoryReq(uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> r{0};
    Put(r, address, 4);
    Put(r, static_cast<uint32_t>(data.size()), 2);
    r.insert(r.end(), data.begin(), data.end());
    return r;
}
inline std::vector<uint8_t> ReadMemoryReq(uint32_t address, uint16_t count) {
    std::vector<uint8_t> r{1};
    Put(r, address, 4);
    Put(r, count, 2);
    return r;
}
inline std::vector<uint8_t> RemoteModeReq(uint8_t mode) {
    return {71, mode, 0, 0, 0};
}

// The reply's payload read most significant byte first.
inline uint32_t ValueOf(const Instrument::Reply& reply) {
    uint32_t v = 0;
    for (size_t i = 1; i < reply.bytes.size(); ++i) {
        v = (v << 8) | reply.bytes[i];
    }
    return v;
}

// Everything the instrument sends back by `until_us`, the clock following each byte.
inline std::vector<uint8_t> DrainSerial(SerialEndpoint& ep, VirtualClock& clock,
                                        uint64_t until_us) {
    std::vector<uint8_t> got;
    while (ep.Pending() > 0 && ep.NextArrivalUs() <= until_us) {
        if (ep.NextArrivalUs() > clock.NowUs()) {
            clock.Advance(ep.NextArrivalUs() - clock.NowUs());
        }
        uint8_t b[512];
        const size_t n = ep.HostRead(b, sizeof b);
        got.insert(got.end(), b, b + n);
    }
    return got;
}

}  // namespace vtrl::sim::testing
