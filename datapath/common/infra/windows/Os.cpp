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
