// Time source shared by the stand-in's links and the test fakes: a real clock
// for vtrlsim and the demo build, a virtual one for the tests (a 10-second
// time-out then runs in microseconds and its duration can be asserted).
#pragma once

#include <cstdint>

namespace vtrl::sim {

class Clock {
  public:
    virtual ~Clock() = default;
    // Microseconds since an arbitrary start; never goes backwards.
    virtual uint64_t NowUs() const = 0;
    // Blocks (real) or advances the time (virtual) by the given span.
    virtual void SleepUs(uint64_t us) = 0;
    void SleepMs(uint32_t ms) { SleepUs(uint64_t{ms} * 1000); }
    uint64_t NowMs() const { return NowUs() / 1000; }
};

// Steady wall clock; SleepUs really sleeps.
class RealClock final : public Clock {
  public:
    uint64_t NowUs() const override;
    void SleepUs(uint64_t us) override;
};

// Time moves only when somebody sleeps (or a test advances it).
class VirtualClock final : public Clock {
  public:
    uint64_t NowUs() const override { return now_us_; }
    void SleepUs(uint64_t us) override { now_us_ += us; }
    void Advance(uint64_t us) { now_us_ += us; }

  private:
    uint64_t now_us_ = 0;
};

// The clock used by the process-wide defaults (real unless a test swaps it).
Clock& DefaultClock();
// Makes `clock` the default (not owned; it must outlive its use); nullptr puts
// the real clock back.
void SetDefaultClock(Clock* clock);

}  // namespace vtrl::sim
