// Linux only: the platform's clock (the monotonic clock, nanosleep); nothing else lives here.
#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace vtrl {

namespace {

class SteadyClock final : public Clock {
  public:
    uint64_t NowUs() const override {
        using std::chrono::duration_cast;
        using std::chrono::microseconds;
        return static_cast<uint64_t>(
            duration_cast<microseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    }
    // Resumed after a signal until the whole span has passed.
    void SleepUs(uint64_t us) override {
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    }
};

}  // namespace

Clock& NativeClock() {
    static SteadyClock clock;
    return clock;
}

}  // namespace vtrl
