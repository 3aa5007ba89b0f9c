// Windows only: the platform's clock (QueryPerformanceCounter, Sleep); nothing else lives here.
#include <algorithm>

#include "platform/clock.h"
#include "platform/windows/win32.h"

namespace vtrl {

namespace {

class PerformanceClock final : public Clock {
  public:
    uint64_t NowUs() const override {
        LARGE_INTEGER count;
        LARGE_INTEGER frequency;
        // Neither fails from Windows XP on (QueryPerformanceCounter's page).
        if (!::QueryPerformanceCounter(&count) || !::QueryPerformanceFrequency(&frequency) ||
            frequency.QuadPart <= 0) {
            return 0;
        }
        const uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
        const uint64_t per_second = static_cast<uint64_t>(frequency.QuadPart);
        return ticks / per_second * 1000000 + ticks % per_second * 1000000 / per_second;
    }
    // Sleep takes whole milliseconds: rounded up, so the wait is never short
    // (and kept below INFINITE).
    void SleepUs(uint64_t us) override {
        const uint64_t ms = std::min<uint64_t>(us / 1000 + (us % 1000 != 0 ? 1 : 0), INFINITE - 1);
        ::Sleep(static_cast<DWORD>(ms));
    }
};

}  // namespace

Clock& NativeClock() {
    static PerformanceClock clock;
    return clock;
}

}  // namespace vtrl
