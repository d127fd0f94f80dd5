#include "../Os.h"

#include <pthread.h>
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
    // gmtime_r would do, but it takes glibc's time-zone lock, and every log
    // record asks for the time.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return utcFromUnixTime(static_cast<i64>(ts.tv_sec), static_cast<u32>(ts.tv_nsec / 1000000));
}

void Os::failFast() {
    _exit(kFailFastExitCode);
}

Os::ThreadSlot::ThreadSlot(ThreadExitCallback onThreadExit) : m_key(0) {
    pthread_key_t key;
    if (pthread_key_create(&key, onThreadExit) != 0)
        failFast(); // the process has used up its keys: nothing can be logged
    m_key = static_cast<u64>(key);
}

void* Os::ThreadSlot::get() const {
    return pthread_getspecific(static_cast<pthread_key_t>(m_key));
}

void Os::ThreadSlot::set(void* value) {
    pthread_setspecific(static_cast<pthread_key_t>(m_key), value);
}
