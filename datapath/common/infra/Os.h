#pragma once
// The few operating-system primitives that the logging core needs. Each
// platform folder provides one implementation of this interface.
#include "Types.h"

struct UtcTime {
    u32 year;
    u32 month;
    u32 day;
    u32 hour;
    u32 minute;
    u32 second;
    u32 milliseconds;
};

namespace Os {
// The calling thread's id as the platform's tools show it.
u32 currentThreadId();
// The current wall-clock time in UTC.
UtcTime utcNow();
// Ends the process at once: no destructors, no exit handlers, no stream
// flushing. Callers flush what must survive before calling it.
[[noreturn]] void failFast();
// The exit status that failFast gives the process.
constexpr int kFailFastExitCode = 3;
} // namespace Os
