#include "../Timer.h"

#include "../WindowsTimer.h"

#include <thread>
#include <time.h>

namespace {
i64 clockNs(clockid_t clock) {
    struct timespec ts;
    if (clock_gettime(clock, &ts) != 0)
        return 0;
    return static_cast<i64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
} // namespace

// The timer thread runs at normal priority: raising it needs privileges that
// a test run does not have.
void Timer::start() {
    unsigned n = std::thread::hardware_concurrency();
    m_numProcessors = n != 0 ? n : 1;
    WindowsTimer* timer = WindowsTimer::instance();
    std::thread([timer] { timer->runTimerThread(); }).detach();
}

i64 Timer::getUtcTimeMs() {
    WindowsTimer::instance();
    return clockNs(CLOCK_REALTIME) / 1000000;
}

// No portable cycle counter: the thread's CPU time in nanoseconds stands in.
u64 Timer::getThreadCycleTime() {
    return static_cast<u64>(clockNs(CLOCK_THREAD_CPUTIME_ID));
}

u64 Timer::getProcessCpuTimeUs() {
    u64 processors = m_numProcessors.load() != 0 ? m_numProcessors.load() : 1;
    return static_cast<u64>(clockNs(CLOCK_PROCESS_CPUTIME_ID)) / 1000 / processors;
}

u64 Timer::systemTickMs() {
    return static_cast<u64>(clockNs(CLOCK_MONOTONIC) / 1000000);
}
