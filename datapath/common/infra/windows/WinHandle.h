#pragma once
// Sole owner of a kernel handle; closes it when it goes out of scope.
#include <windows.h>

class WinHandle {
public:
    explicit WinHandle(HANDLE h = NULL) : m_handle(h) {}
    ~WinHandle() {
        if (valid())
            CloseHandle(m_handle);
    }
    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;

    HANDLE get() const { return m_handle; }
    // Closes the handle held so far and takes `h`.
    void reset(HANDLE h = NULL) {
        if (valid())
            CloseHandle(m_handle);
        m_handle = h;
    }
    // Both NULL and INVALID_HANDLE_VALUE mean "no handle": which one a
    // failing call returns depends on the call.
    bool valid() const { return m_handle != NULL && m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};
