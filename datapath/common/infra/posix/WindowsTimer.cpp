#include "../WindowsTimer.h"

#include <time.h>

// CLOCK_MONOTONIC at 10 MHz, the frequency Windows reports on current
// hardware, so a tick and the guard's tolerance mean the same on both.
PerformanceCounterSource WindowsTimer::systemCounter() {
    PerformanceCounterSource source;
    source.frequency = [](i64* hz) {
        *hz = 10000000;
        return true;
    };
    source.read = [](i64* ticks) {
        struct timespec ts;
        if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
            return false;
        *ticks = static_cast<i64>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
        return true;
    };
    return source;
}
