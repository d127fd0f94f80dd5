#pragma once
// Counting semaphore on the standard mutex and condition variable. waitFor
// measures on the steady clock so that a change of the wall clock neither
// shortens nor stretches a bounded wait.
#include "Types.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

class Semaphore {
public:
    explicit Semaphore(u32 initialCount = 0) : m_count(initialCount) {}
    virtual ~Semaphore() = default;

    virtual void post() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        m_cond.notify_one();
    }

    virtual void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [this] { return m_count > 0; });
        --m_count;
    }

    // True when a count was taken within ms milliseconds; on time-out the
    // count is left as it was.
    virtual bool waitFor(u32 ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_count > 0; }))
            return false;
        --m_count;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    u32 m_count;
};
