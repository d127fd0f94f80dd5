#include "Timer.h"

#include "WindowsTimer.h"

#include <cstdio>

Timer::Timer() : m_lastTimestampMs(0), m_referenceBaseMs(0), m_numProcessors(0), m_lastRefreshTick(0) {}

i64 Timer::getSteadyTimeNs() {
    WindowsTimer* timer = WindowsTimer::instance();
    i64 ticks = 0;
    timer->getPerformanceCounter(&ticks);
    const i64 kNsPerSecond = 1000000000;
    i64 freq = timer->frequency();
    if (freq == 10000000)
        return ticks * 100;
    return (ticks / freq) * kNsPerSecond + (ticks % freq) * kNsPerSecond / freq;
}

i64 Timer::getSteadyTimeUs() {
    return getSteadyTimeNs() / 1000;
}

i64 Timer::getTimestampMs() {
    WindowsTimer* timer = WindowsTimer::instance();
    i64 ticks = 0;
    timer->getPerformanceCounter(&ticks);
    i64 ms = ticks / static_cast<i64>(timer->ticksPerMs());
    m_lastTimestampMs.store(ms, std::memory_order_relaxed);
    return ms;
}

i64 Timer::getLastTimestampMs_Inaccurate(bool noRefresh) {
    WindowsTimer::instance();
    // Every shield-mode allocation asks without refresh: it need not read
    // the tick count it would not use.
    if (noRefresh)
        return m_lastTimestampMs.load(std::memory_order_relaxed);
    u64 now = systemTickMs();
    if (now > m_lastRefreshTick.load(std::memory_order_relaxed) + 1000) {
        m_lastRefreshTick.store(now, std::memory_order_relaxed);
        getTimestampMs();
    }
    return m_lastTimestampMs.load(std::memory_order_relaxed);
}

u32 Timer::addTimer(TimerCallback callback, u64 context, u32 intervalMs, bool oneShot) {
    return WindowsTimer::instance()->addTimer(callback, context, intervalMs, oneShot);
}

i64 Timer::setReferenceTimeMs(i64 valueMs) {
    i64 base = getTimestampMs() - valueMs;
    m_referenceBaseMs.store(base, std::memory_order_relaxed);
    return base;
}

i64 Timer::getReferenceTimeMs() {
    return getTimestampMs() - m_referenceBaseMs.load(std::memory_order_relaxed);
}

bool Timer::parseUtcTimestamp(const std::string& text, std::tm* out) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(text.c_str(), "%04u-%02u-%02uT%02u:%02u:%02uZ", &year, &month, &day, &hour, &minute,
                    &second) != 6) {
        std::printf("failed to scan\n");
        std::fflush(stdout);
        return false;
    }
    *out = std::tm();
    out->tm_sec = static_cast<int>(second);
    out->tm_min = static_cast<int>(minute);
    out->tm_hour = static_cast<int>(hour);
    out->tm_mday = static_cast<int>(day);
    out->tm_mon = static_cast<int>(month) - 1;
    out->tm_year = static_cast<int>(year) - 1900;
    return true;
}
