#include "sim/clock.h"

#include <chrono>
#include <thread>

namespace vtrl::sim {

namespace {

Clock* g_default_clock = nullptr;

}  // namespace

uint64_t RealClock::NowUs() const {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::SleepUs(uint64_t us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

Clock& DefaultClock() {
    static RealClock real;
    return g_default_clock != nullptr ? *g_default_clock : real;
}

void SetDefaultClock(Clock* clock) {
    g_default_clock = clock;
}

}  // namespace vtrl::sim
