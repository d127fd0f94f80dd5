#pragma once
// The process's clock singleton. Counter-based operations go through the
// WindowsTimer's monotonic guard; the platform file supplies the wall clock,
// CPU times, the system tick and the timer thread.
#include "ITimer.h"
#include "Singleton.h"

#include <atomic>

class Timer : public Singleton<Timer>, public ITimer {
public:
    void start() override;
    i64 getSteadyTimeNs() override;
    i64 getSteadyTimeUs() override;
    i64 getTimestampMs() override;
    i64 getUtcTimeMs() override;
    i64 getLastTimestampMs_Inaccurate(bool noRefresh) override;
    u32 addTimer(TimerCallback callback, u64 context, u32 intervalMs, bool oneShot) override;
    u64 getThreadCycleTime() override;
    // Before start() the processor count is unknown and the time is given
    // undivided, as for one processor.
    u64 getProcessCpuTimeUs() override;
    i64 setReferenceTimeMs(i64 valueMs) override;
    i64 getReferenceTimeMs() override;
    bool parseUtcTimestamp(const std::string& text, std::tm* out) override;

private:
    friend class Singleton<Timer>;
    Timer();

    // Milliseconds since an arbitrary start, cheap to read.
    static u64 systemTickMs();

    // Read without locks from any thread: a stale value is harmless.
    std::atomic<i64> m_lastTimestampMs;
    std::atomic<i64> m_referenceBaseMs;
    std::atomic<u32> m_numProcessors;
    std::atomic<u64> m_lastRefreshTick;
};
