#include "WindowsTimer.h"

#include "DeadLockChecker.h"
#include "Log.h"
#include "Timer.h"
#include "TrackedNew.h"

#include <chrono>
#include <cstdlib>
#include <limits>
#include <thread>

namespace {
// Process-wide, so handles stay unique across timer registries; the first
// handle is 1001.
std::atomic<u32> s_nextTimerHandle{1000};
} // namespace

WindowsTimer::WindowsTimer() : WindowsTimer(systemCounter()) {}

WindowsTimer::WindowsTimer(const PerformanceCounterSource& source)
    : m_source(source), m_frequency(0), m_timersSuspended(0), m_ticksPerMs(0), m_timers("Timers"),
      m_lastTimestamp(0) {
    i64 freq = 0;
    bool bSuccess = m_source.frequency(&freq);
    ORV_ASSERT(bSuccess);
    // Below 1 kHz a millisecond would have no ticks at all.
    ORV_ASSERT_AS(freq >= 1000 && freq / 1000 <= std::numeric_limits<u32>::max(), "freq.HighPart == 0");
    m_frequency = freq;
    m_ticksPerMs = static_cast<u32>(freq / 1000);
    LOG(LogInfo) << " m_ticksPerMs=" << m_ticksPerMs << std::endl;
}

i64 WindowsTimer::getPerformanceCounter(i64* out) {
    MutexGuard guard(m_counterMutex);
    i64 res = 0;
    bool bSuccess = m_source.read(&res);
    ORV_ASSERT(bSuccess);
    i64 diff = res - m_lastTimestamp;
    if (m_lastTimestamp != 0 && diff < 0) {
        LOG(LogError) << "New timestamp is before last timestamp: "
                      << " res.QuadPart=" << res << " "
                      << "  m_lastTimestamp=" << m_lastTimestamp << " "
                      << "  diff=" << diff << " " << std::endl;
        ORV_CHECK(diff >= -MINIMUM_ACCEPTABLE_TICKS_DIFF, "New timestamp is more than "
                                                              << MINIMUM_ACCEPTABLE_TICKS_DIFF
                                                              << " ticks before last timestamp");
        *out = m_lastTimestamp;
    } else {
        m_lastTimestamp = res;
        *out = res;
    }
    return *out;
}

u64 WindowsTimer::nowMs() {
    i64 ticks = 0;
    getPerformanceCounter(&ticks);
    return static_cast<u64>(ticks / m_ticksPerMs);
}

u32 WindowsTimer::addTimer(TimerCallback callback, u64 context, u32 intervalMs, bool oneShot,
                           u32 existingHandle) {
    MutexGuard guard(m_mapMutex);
    WindowsTimerInfo info;
    info.dueMs = nowMs() + intervalMs;
    info.periodMs = oneShot ? 0 : intervalMs;
    info.callback = callback;
    info.context = context;
    std::map<u32, WindowsTimerInfo>::iterator existing = m_timers.find(existingHandle);
    if (existing != m_timers.end()) {
        existing->second.cancelled = true;
        LOG(LogInfo) << "replacing existing timer handle=" << existingHandle << std::endl;
    }
    u32 handle = ++s_nextTimerHandle;
    m_timers.emplace(handle, info);
    LOG(LogInfo) << "added timer old=" << existingHandle << " new=" << handle << std::endl;
    return handle;
}

void WindowsTimer::activateTimers() {
    MutexGuard activation(m_activationMutex);
    if (m_timersSuspended.load() != 0)
        return;
    u64 now = nowMs();
    std::map<u32, WindowsTimerInfo> snapshot;
    {
        MutexGuard guard(m_mapMutex);
        snapshot = m_timers;
    }
    for (const auto& entry : snapshot) {
        const WindowsTimerInfo& info = entry.second;
        if (info.cancelled || info.dueMs >= now)
            continue;
        u64 t0 = nowMs();
        info.callback(info.context);
        u64 t1 = nowMs();
        // Logged, not interrupted: a callback is never cut short.
        if (t1 - t0 > 2000)
            LOG(LogError) << "timer invocation took more than 1 seconds!" << std::endl;

        MutexGuard guard(m_mapMutex);
        std::map<u32, WindowsTimerInfo>::iterator live = m_timers.find(entry.first);
        if (live == m_timers.end())
            continue;
        if (live->second.cancelled) {
            live->second.completion.set(RC_SUCCESS);
            live->second.periodMs = 0;
        }
        if (live->second.periodMs != 0)
            live->second.dueMs = now + live->second.periodMs;
        else
            m_timers.erase(live);
    }
}

bool WindowsTimer::completionOf(u32 handle, Future<RcStatus>& out) {
    MutexGuard guard(m_mapMutex);
    std::map<u32, WindowsTimerInfo>::iterator it = m_timers.find(handle);
    if (it == m_timers.end())
        return false;
    out = it->second.completion;
    return true;
}

void WindowsTimer::runTimerThread() {
    // Never released: the thread runs until the process ends.
    DlcKeepalive* keepalive = ORV_NEW(DlcKeepalive)("timer", nullptr);
    std::srand(static_cast<unsigned>(Timer::instance()->getTimestampMs()));
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        activateTimers();
        keepalive->setAlive();
    }
}
