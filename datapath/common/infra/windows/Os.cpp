#include "../Os.h"

#include <windows.h>

u32 Os::currentThreadId() {
    return GetCurrentThreadId();
}

UtcTime Os::utcNow() {
    SYSTEMTIME st;
    GetSystemTime(&st);
    return UtcTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

void Os::failFast() {
    TerminateProcess(GetCurrentProcess(), kFailFastExitCode);
    // TerminateProcess on the own process does not return; the loop keeps the
    // compiler's noreturn promise should it ever do so.
    for (;;)
        Sleep(INFINITE);
}

// Fiber-local storage rather than thread-local storage: only its slots carry a
// callback that the system runs when a thread ends.
Os::ThreadSlot::ThreadSlot(ThreadExitCallback onThreadExit) : m_key(0) {
    DWORD index = FlsAlloc(onThreadExit);
    if (index == FLS_OUT_OF_INDEXES)
        failFast(); // the process has used up its slots: nothing can be logged
    m_key = index;
}

void* Os::ThreadSlot::get() const {
    return FlsGetValue(static_cast<DWORD>(m_key));
}

void Os::ThreadSlot::set(void* value) {
    FlsSetValue(static_cast<DWORD>(m_key), value);
}
