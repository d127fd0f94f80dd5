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
// The UTC calendar time of a moment given in seconds since 1970-01-01
// (proleptic Gregorian calendar: eras of 400 years, years counted from March
// so that the leap day ends them).
inline UtcTime utcFromUnixTime(i64 seconds, u32 milliseconds) {
    i64 days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    i64 secondOfDay = seconds - days * 86400;
    i64 z = days + 719468; // days since 0000-03-01
    i64 era = (z >= 0 ? z : z - 146096) / 146097;
    i64 dayOfEra = z - era * 146097;
    i64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    i64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    i64 monthFromMarch = (5 * dayOfYear + 2) / 153;
    i64 day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    i64 month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    i64 year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    return UtcTime{static_cast<u32>(year),
                   static_cast<u32>(month),
                   static_cast<u32>(day),
                   static_cast<u32>(secondOfDay / 3600),
                   static_cast<u32>(secondOfDay % 3600 / 60),
                   static_cast<u32>(secondOfDay % 60),
                   milliseconds};
}
// Ends the process at once: no destructors, no exit handlers, no stream
// flushing. Callers flush what must survive before calling it.
[[noreturn]] void failFast();
// One pointer per thread (initially null) and what is done with a thread's
// value when the thread ends. Built on the system's own per-thread storage
// rather than on thread_local objects, whose destructors run in an order the
// logging of a thread's last moments cannot rely on. Slots are never freed.
#if defined(_WIN32)
#define ORV_THREAD_EXIT_CALLBACK __stdcall
#else
#define ORV_THREAD_EXIT_CALLBACK
#endif
typedef void(ORV_THREAD_EXIT_CALLBACK* ThreadExitCallback)(void* value);
class ThreadSlot {
public:
    explicit ThreadSlot(ThreadExitCallback onThreadExit);
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;
    void* get() const;
    void set(void* value);

private:
    u64 m_key;
};
// The exit status that failFast gives the process.
constexpr int kFailFastExitCode = 3;
} // namespace Os
