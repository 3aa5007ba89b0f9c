#include "platform/clock.h"

namespace vtrl {

namespace {

Clock* g_clock = nullptr;

}  // namespace

void SetClock(Clock* clock) {
    g_clock = clock;
}

Clock& CurrentClock() {
    return g_clock != nullptr ? *g_clock : NativeClock();
}

void Delay(uint32_t milliseconds) {
    CurrentClock().SleepMs(milliseconds);
}

}  // namespace vtrl
