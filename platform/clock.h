// The program's time: now, in microseconds, and a sleep.  Every wait the
// program makes above the platform's own calls goes through the clock in
// force: the console text layer's Delay, the retry pauses, the serial link's
// reply and write pacing, the USB link's pause between polls.  That clock is
// the platform's own until a test puts a virtual one in its place (a
// 10-second time-out then passes in microseconds and its length can be
// asserted).
#pragma once

#include <cstdint>

namespace vtrl {

class Clock {
  public:
    virtual ~Clock() = default;
    // Microseconds since an arbitrary start; never goes backwards.
    virtual uint64_t NowUs() const = 0;
    // Waits at least `us` (the platform's clock) or moves the time on by it
    // (a virtual clock).
    virtual void SleepUs(uint64_t us) = 0;
    void SleepMs(uint32_t ms) { SleepUs(uint64_t{ms} * 1000); }
    uint64_t NowMs() const { return NowUs() / 1000; }
};

// The platform's steady clock and sleep (defined by the build's platform file).
Clock& NativeClock();

// Makes `clock` the one in force (not owned; it must outlive its use);
// nullptr puts the platform's own back.
void SetClock(Clock* clock);
Clock& CurrentClock();

// Suspends the program for `milliseconds` on the clock in force (the console
// text layer's Delay: every fixed pause of the upgrade).
void Delay(uint32_t milliseconds);

}  // namespace vtrl
