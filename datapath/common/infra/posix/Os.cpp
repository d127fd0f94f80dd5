#include "../Os.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

u32 Os::currentThreadId() {
    // Every record asks for it, and a system call costs a microsecond on some
    // virtual machines; a thread's id never changes.
    thread_local const u32 id = static_cast<u32>(syscall(SYS_gettid));
    return id;
}

UtcTime Os::utcNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    gmtime_r(&ts.tv_sec, &tmv);
    return UtcTime{static_cast<u32>(tmv.tm_year + 1900),  static_cast<u32>(tmv.tm_mon + 1),
                   static_cast<u32>(tmv.tm_mday),         static_cast<u32>(tmv.tm_hour),
                   static_cast<u32>(tmv.tm_min),          static_cast<u32>(tmv.tm_sec),
                   static_cast<u32>(ts.tv_nsec / 1000000)};
}

void Os::failFast() {
    _exit(kFailFastExitCode);
}
