// The virtual clock the stand-in's links and the tests run on: time moves
// only when somebody sleeps on it (or a test moves it on), so a 10-second
// time-out passes in microseconds and its length can be asserted.  Installed
// as the program's clock (SetClock) it carries the program's pauses too.
// vtrlsim and the demo build run the stand-in on the platform's own clock.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace vtrl::sim {

class VirtualClock final : public Clock {
  public:
    uint64_t NowUs() const override { return now_us_; }
    void SleepUs(uint64_t us) override { now_us_ += us; }
    void Advance(uint64_t us) { now_us_ += us; }

  private:
    uint64_t now_us_ = 0;
};

}  // namespace vtrl::sim
