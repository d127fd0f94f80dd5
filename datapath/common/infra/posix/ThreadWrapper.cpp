#include "../ThreadWrapper.h"

#include "../Log.h"

#include <pthread.h>

struct ThreadWrapperEntry {
    static void* start(void* self) {
        static_cast<ThreadWrapper*>(self)->threadCallback();
        return nullptr;
    }
};

void ThreadWrapper::open() {
    {
        MutexGuard guard(m_mutex);
        ++m_numOpened;
    }
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, &ThreadWrapperEntry::start, this);
    ORV_ASSERT_AS(rc == 0, "h != NULL");
    pthread_detach(thread);
}
