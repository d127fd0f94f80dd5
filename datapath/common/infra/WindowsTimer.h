#pragma once
// The performance counter behind Timer, with a guard that keeps the values it
// hands out from ever decreasing, and the registry of periodic and one-shot
// timers that the timer thread fires.
#include "Future.h"
#include "ITimer.h"
#include "Mutex.h"
#include "Singleton.h"
#include "StlMemShiledContainer.h"
#include "Types.h"

#include <atomic>
#include <functional>
#include <map>

// Where counter ticks come from. Each function returns false on failure.
// The system's counter is the default; tests substitute their own.
struct PerformanceCounterSource {
    std::function<bool(i64* hz)> frequency;
    std::function<bool(i64* ticks)> read;
};

struct WindowsTimerInfo {
    u64 dueMs = 0;    // getTimestampMs units
    u64 periodMs = 0; // 0: one-shot
    TimerCallback callback = nullptr;
    u64 context = 0;
    bool cancelled = false;
    // Set when a cancelled timer has finished its last invocation, so that
    // its canceller knows the callback will not run again.
    Future<RcStatus> completion;
};

class WindowsTimer : public Singleton<WindowsTimer> {
public:
    // A counter that steps back by more ticks than this ends the process;
    // smaller steps (seen on some multi-processor hardware) are absorbed.
    static const i64 MINIMUM_ACCEPTABLE_TICKS_DIFF = 100;

    // A timer on another counter than the system's (the singleton uses
    // systemCounter()).
    explicit WindowsTimer(const PerformanceCounterSource& source);

    // Writes the current counter into *out and returns it; never less than a
    // value handed out before.
    i64 getPerformanceCounter(i64* out);
    i64 frequency() const { return m_frequency; }
    u32 ticksPerMs() const { return m_ticksPerMs; }

    // Adds a timer due intervalMs from now; a non-zero existingHandle of a
    // timer in the registry cancels that timer first. Returns the new handle.
    u32 addTimer(TimerCallback callback, u64 context, u32 intervalMs, bool oneShot, u32 existingHandle = 0);
    // The completion of a timer in the registry; false when there is none.
    bool completionOf(u32 handle, Future<RcStatus>& out);
    // Runs every due timer once, outside the registry's lock, so callbacks
    // may add timers.
    void activateTimers();
    // The timer thread's body: activates the timers every 100 ms, forever,
    // under the dead-lock checker's watch (keepalive "timer").
    void runTimerThread();

    // The platform's high-resolution monotonic counter.
    static PerformanceCounterSource systemCounter();

private:
    friend class Singleton<WindowsTimer>;
    WindowsTimer();
    WindowsTimer(const WindowsTimer&) = delete;
    WindowsTimer& operator=(const WindowsTimer&) = delete;

    u64 nowMs();

    PerformanceCounterSource m_source;
    i64 m_frequency;
    std::atomic<u32> m_timersSuspended;
    u32 m_ticksPerMs;
    Mutex m_mapMutex;
    Mutex m_activationMutex;
    StlMemShiledContainer<std::map<u32, WindowsTimerInfo>> m_timers;
    Mutex m_counterMutex;
    i64 m_lastTimestamp; // 0: nothing handed out yet
};
