#include "../ThreadWrapper.h"

#include "../Log.h"

#include <windows.h>

struct ThreadWrapperEntry {
    static DWORD WINAPI start(LPVOID self) {
        static_cast<ThreadWrapper*>(self)->threadCallback();
        return 0;
    }
};

// The handle is not kept: the thread runs detached and nothing waits on it.
class ThreadHandle {
public:
    explicit ThreadHandle(HANDLE h) : m_handle(h) {}
    ~ThreadHandle() {
        if (m_handle != NULL)
            CloseHandle(m_handle);
    }
    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

void ThreadWrapper::open() {
    {
        MutexGuard guard(m_mutex);
        ++m_numOpened;
    }
    ThreadHandle thread(CreateThread(NULL, 0, &ThreadWrapperEntry::start, this, 0, NULL));
    HANDLE h = thread.get();
    ORV_ASSERT(h != NULL);
}
