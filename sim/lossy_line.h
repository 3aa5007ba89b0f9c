// A bad line between the host and the instrument: each exchange is disturbed
// at random with a given probability, from a seed, so that a run can be
// repeated exactly.  A disturbance loses the reply (the instrument acted on
// the request), changes one byte of it, or delays it past every time-out of
// the program's links.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "sim/instrument.h"

namespace vtrl::sim {

class LossyLine : public ExchangeHook {
  public:
    enum Kind : unsigned {
        kLost = 1u << 0,
        kCorrupted = 1u << 1,
        kDelayed = 1u << 2,
        kAll = kLost | kCorrupted | kDelayed,
    };
    // Longer than the longest wait for one reply: 1000 serial reads of 10 ms,
    // the USB input report's 10 s, 400 ready-flag polls.
    static constexpr uint32_t kPastTimeoutMs = 12000;

    // `rate` from 0 (a clean line) to 1 (every exchange disturbed); `kinds` a
    // set of Kind bits, chosen evenly among.
    LossyLine(double rate, uint32_t seed, unsigned kinds = kAll);

    ExchangeAction Decide(uint32_t exchange, const std::vector<uint8_t>& request) override;
    void Shape(uint32_t exchange, const std::vector<uint8_t>& request,
               Instrument::Reply* reply) override;

    // The exchanges disturbed so far, in order.
    const std::vector<uint32_t>& Disturbed() const { return disturbed_; }

  private:
    double rate_;
    std::vector<Kind> kinds_;
    std::mt19937 random_;
    Kind pending_ = kLost;  // the disturbance Shape carries out
    bool shaping_ = false;
    std::vector<uint32_t> disturbed_;
};

}  // namespace vtrl::sim
