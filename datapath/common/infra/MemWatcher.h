#pragma once
// The registry of wrapped threads (each ThreadWrapper thread adds itself at
// start and leaves at its end) with per-thread CPU shares and the process's
// memory counters for diagnostic reports.
#include "CpuUsageMonitor.h"
#include "Mutex.h"
#include "Singleton.h"
#include "StlMemShiledContainer.h"
#include "ThreadCpuUsageMonitor.h"
#include "Types.h"

#include <atomic>
#include <functional>
#include <map>

class MemWatcher : public Singleton<MemWatcher> {
public:
    // Adds the thread unless it is already in the table.
    void AddThread(u32 threadId);
    void RemoveThread(u32 threadId);
    // Calls visitor(thread id, last sampled user time in 100 ns units, or 0)
    // for every thread in ascending id order, under the table's lock.
    void iterateThreads(const std::function<void(i32 threadId, u64 threadData)>& visitor);
    // Logs the machine's CPU ticks since the previous print and each thread's
    // share of them, largest first; threads found gone leave the table.
    void printCpu();
    // Logs the process's memory counters.
    void printMem();

private:
    friend class Singleton<MemWatcher>;
    MemWatcher();

    struct ThreadInfo {
        ThreadCpuUsageMonitor* cpu; // tracked, owned
    };
    // Erases the entry and releases its monitor.
    std::map<i32, ThreadInfo>::iterator eraseThread(std::map<i32, ThreadInfo>::iterator it);

    Mutex m_mutex;
    StlMemShiledContainer<std::map<i32, ThreadInfo>> m_threads;
    i64 m_lastCpuPrintMs;
    // Created by the first printCpu: only diagnostics need it, and the real
    // counters are not worth opening in every process that starts a thread.
    std::atomic<CpuUsageMonitor*> m_cpu; // tracked, owned; never released (singleton)
};
