#pragma once
// The infrastructure's lock types. IMutex is what containers and singletons
// hold so that a lock can be swapped for one that a different thread may
// release (UnownedMutex, used as a gate).
#include "Semaphore.h"

#include <mutex>

class IMutex {
public:
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual ~IMutex() = default;
};

// A plain, non-recursive mutex. Failures of the underlying mutex surface as
// std::system_error, as the standard library raises them.
class Mutex : public IMutex {
public:
    void lock() override { m_mutex.lock(); }
    void unlock() override { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// A mutex that any thread may release: a semaphore with a count of one.
class UnownedMutex : public IMutex {
public:
    UnownedMutex() : m_sem(1) {}
    void lock() override { m_sem.wait(); }
    void unlock() override { m_sem.post(); }

private:
    Semaphore m_sem;
};

// Scoped holder for any IMutex.
class MutexGuard {
public:
    explicit MutexGuard(IMutex& m) : m_mutex(m) { m_mutex.lock(); }
    ~MutexGuard() { m_mutex.unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    IMutex& m_mutex;
};
