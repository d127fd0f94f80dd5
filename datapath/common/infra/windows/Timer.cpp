#include "../Timer.h"

#include "../Log.h"
#include "../WindowsTimer.h"
#include "WinHandle.h"

#include <windows.h>

namespace {
DWORD WINAPI timerThread(LPVOID timer) {
    static_cast<WindowsTimer*>(timer)->runTimerThread();
    return 0;
}

u64 fileTimeValue(const FILETIME& ft) {
    return (static_cast<u64>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
} // namespace

void Timer::start() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    m_numProcessors = info.dwNumberOfProcessors;
    WindowsTimer* timer = WindowsTimer::instance();
    WinHandle thread(CreateThread(nullptr, 0, &timerThread, timer, 0, nullptr));
    HANDLE h = thread.get();
    ORV_ASSERT(h != nullptr);
    SetThreadPriority(thread.get(), THREAD_PRIORITY_TIME_CRITICAL);
}

i64 Timer::getUtcTimeMs() {
    WindowsTimer::instance();
    SYSTEMTIME st;
    GetSystemTime(&st);
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return static_cast<i64>(fileTimeValue(ft) / 10000) - 11644473600000LL;
}

u64 Timer::getThreadCycleTime() {
    ULONG64 cycles = 0;
    QueryThreadCycleTime(GetCurrentThread(), &cycles);
    return cycles;
}

u64 Timer::getProcessCpuTimeUs() {
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user))
        return 0;
    u64 processors = m_numProcessors.load() != 0 ? m_numProcessors.load() : 1;
    return (fileTimeValue(kernel) + fileTimeValue(user)) / (processors * 10);
}

u64 Timer::systemTickMs() {
    return GetTickCount64();
}
