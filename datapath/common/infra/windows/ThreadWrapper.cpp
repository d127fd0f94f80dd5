#include "../ThreadWrapper.h"

#include "../Log.h"
#include "WinHandle.h"

struct ThreadWrapperEntry {
    static DWORD WINAPI start(LPVOID self) {
        static_cast<ThreadWrapper*>(self)->threadCallback();
        return 0;
    }
};

void ThreadWrapper::open() {
    {
        MutexGuard guard(m_mutex);
        ++m_numOpened;
    }
    // The handle is not kept: the thread runs detached and nothing waits on it.
    WinHandle thread(CreateThread(nullptr, 0, &ThreadWrapperEntry::start, this, 0, nullptr));
    HANDLE h = thread.get();
    ORV_ASSERT(h != nullptr);
}
