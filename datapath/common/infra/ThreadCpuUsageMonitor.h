#pragma once
// Samples one thread's user-mode CPU time.
#include "Types.h"

#include <thread>

class ThreadCpuUsageMonitor {
public:
    explicit ThreadCpuUsageMonitor(u32 threadId)
        : m_threadId(threadId), m_lastUserTime(-1), m_processorCount(processorCount()), m_gone(false) {}

    // User time (100 ns units) since the previous call; 0 on the first call
    // and when the thread cannot be read (logged).
    i64 update();
    // True once a sample could not open the thread: it has ended.
    bool isGone() const { return m_gone; }
    // The last sampled user time, -1 before the first sample.
    i64 lastUserTime() const { return m_lastUserTime; }

private:
    static u32 processorCount() {
        unsigned n = std::thread::hardware_concurrency();
        return n != 0 ? n : 1;
    }

    u32 m_threadId;
    i64 m_lastUserTime;
    u32 m_processorCount;
    bool m_gone;
};
