#pragma once
// The infrastructure's clocks. Every timestamp, time-out and rate is read
// through this interface (Timer::instance() serves it).
#include "Types.h"

#include <ctime>
#include <string>

// A periodic or one-shot timer's function; context is passed back unchanged.
typedef void (*TimerCallback)(u64 context);

class ITimer {
public:
    // Starts the timer thread that fires added timers. The clock operations
    // need no start.
    virtual void start() = 0;
    // The monotonic performance counter in nanoseconds and microseconds.
    virtual i64 getSteadyTimeNs() = 0;
    virtual i64 getSteadyTimeUs() = 0;
    // The monotonic performance counter in milliseconds; remembered for
    // getLastTimestampMs_Inaccurate.
    virtual i64 getTimestampMs() = 0;
    // Wall-clock UTC milliseconds since 1970-01-01.
    virtual i64 getUtcTimeMs() = 0;
    // The last getTimestampMs() value, refreshed at most once a second
    // unless noRefresh; 0 while nothing has refreshed it.
    virtual i64 getLastTimestampMs_Inaccurate(bool noRefresh) = 0;
    // Needs start(); returns the new timer's handle.
    virtual u32 addTimer(TimerCallback callback, u64 context, u32 intervalMs, bool oneShot) = 0;
    virtual u64 getThreadCycleTime() = 0;
    // The process's kernel and user time in microseconds per processor.
    virtual u64 getProcessCpuTimeUs() = 0;
    // Makes getReferenceTimeMs() read valueMs now; returns the new base.
    virtual i64 setReferenceTimeMs(i64 valueMs) = 0;
    virtual i64 getReferenceTimeMs() = 0;
    virtual u32 getTimestamp10Ms() { return static_cast<u32>(getTimestampMs() / 10); }
    // "YYYY-MM-DDThh:mm:ssZ" into out (fields are not range-checked). A text
    // that does not scan prints "failed to scan" and gives false.
    virtual bool parseUtcTimestamp(const std::string& text, std::tm* out) = 0;
    virtual ~ITimer() = default;
};
