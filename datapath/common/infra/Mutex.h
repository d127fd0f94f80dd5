#pragma once
// The infrastructure's lock types. IMutex is what containers and singletons
// hold so that a lock can be swapped for one that a different thread may
// release (UnownedMutex, used as a gate).
#include "Semaphore.h"

#include <mutex>

// Clang's thread-safety analysis (-Wthread-safety, in the Clang builds): a
// member marked ORV_GUARDED_BY(m) may only be touched while m is held, and a
// function marked ORV_REQUIRES(m) only be called so. Other compilers ignore
// the marks.
#if defined(__clang__)
#define ORV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORV_THREAD_ANNOTATION(x)
#endif
#define ORV_CAPABILITY(x) ORV_THREAD_ANNOTATION(capability(x))
#define ORV_SCOPED_CAPABILITY ORV_THREAD_ANNOTATION(scoped_lockable)
#define ORV_GUARDED_BY(x) ORV_THREAD_ANNOTATION(guarded_by(x))
#define ORV_REQUIRES(...) ORV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ORV_ACQUIRE(...) ORV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ORV_RELEASE(...) ORV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// For code the analysis cannot follow (a callback run while its caller holds
// the lock); say at the mark which lock is held.
#define ORV_NO_THREAD_SAFETY_ANALYSIS ORV_THREAD_ANNOTATION(no_thread_safety_analysis)

class ORV_CAPABILITY("mutex") IMutex {
public:
    virtual void lock() ORV_ACQUIRE() = 0;
    virtual void unlock() ORV_RELEASE() = 0;
    virtual ~IMutex() = default;
};

// A plain, non-recursive mutex. Failures of the underlying mutex surface as
// std::system_error, as the standard library raises them.
class Mutex : public IMutex {
public:
    void lock() override ORV_ACQUIRE() { m_mutex.lock(); }
    void unlock() override ORV_RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// A mutex that any thread may release: a semaphore with a count of one.
class UnownedMutex : public IMutex {
public:
    UnownedMutex() : m_sem(1) {}
    // Not marked for the analysis: taken on one thread and given back on
    // another, as a gate, which it cannot follow.
    void lock() override { m_sem.wait(); }
    void unlock() override { m_sem.post(); }

private:
    Semaphore m_sem;
};

// Scoped holder for any IMutex.
class ORV_SCOPED_CAPABILITY MutexGuard {
public:
    explicit MutexGuard(IMutex& m) ORV_ACQUIRE(m) : m_mutex(m) { m_mutex.lock(); }
    ~MutexGuard() ORV_RELEASE() { m_mutex.unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    IMutex& m_mutex;
};
