#include "../WindowsTimer.h"

#include <windows.h>

PerformanceCounterSource WindowsTimer::systemCounter() {
    PerformanceCounterSource source;
    source.frequency = [](i64* hz) {
        LARGE_INTEGER freq;
        if (!QueryPerformanceFrequency(&freq))
            return false;
        *hz = freq.QuadPart;
        return true;
    };
    source.read = [](i64* ticks) {
        LARGE_INTEGER res;
        if (!QueryPerformanceCounter(&res))
            return false;
        *ticks = res.QuadPart;
        return true;
    };
    return source;
}
