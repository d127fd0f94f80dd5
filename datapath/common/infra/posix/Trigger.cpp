#include "../Trigger.h"

#include <chrono>

Trigger::Trigger() : m_signalled(false) {}

Trigger::~Trigger() = default;

void Trigger::set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = true;
    m_cond.notify_one();
}

void Trigger::wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_signalled; });
    m_signalled = false;
}

bool Trigger::waitFor(u32 ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_signalled; }))
        return false;
    m_signalled = false;
    return true;
}
