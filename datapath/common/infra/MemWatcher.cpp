#include "MemWatcher.h"

#include "Log.h"
#include "Timer.h"
#include "TrackedNew.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

MemWatcher::MemWatcher() : m_threads("MemWatcherThreads"), m_lastCpuPrintMs(0), m_cpu(nullptr) {}

std::map<i32, MemWatcher::ThreadInfo>::iterator
MemWatcher::eraseThread(std::map<i32, ThreadInfo>::iterator it) {
    trackedDelete(it->second.cpu);
    return m_threads.erase(it);
}

void MemWatcher::AddThread(u32 threadId) {
    // Created before the table's lock is taken, which then guards the table
    // alone.
    ThreadCpuUsageMonitor* monitor = ORV_NEW(ThreadCpuUsageMonitor)(threadId);
    MutexGuard guard(m_mutex);
    i32 id = static_cast<i32>(threadId);
    if (m_threads.find(id) != m_threads.end()) {
        trackedDelete(monitor);
        return;
    }
    m_threads[id].cpu = monitor;
    LOG(LogInfo) << "added "
                 << " pid=" << id << std::endl;
}

void MemWatcher::RemoveThread(u32 threadId) {
    MutexGuard guard(m_mutex);
    std::map<i32, ThreadInfo>::iterator it = m_threads.find(static_cast<i32>(threadId));
    if (it != m_threads.end())
        eraseThread(it);
}

void MemWatcher::iterateThreads(const std::function<void(i32 threadId, u64 threadData)>& visitor) {
    LOG(LogInfo) << "start" << std::endl;
    {
        MutexGuard guard(m_mutex);
        for (const auto& entry : m_threads) {
            i64 userTime = entry.second.cpu->lastUserTime();
            visitor(entry.first, userTime < 0 ? 0 : static_cast<u64>(userTime));
        }
    }
    LOG(LogInfo) << "done" << std::endl;
}

void MemWatcher::printCpu() {
    // As in AddThread, the monitor is created before the lock is taken.
    CpuUsageMonitor* created = m_cpu.load() == nullptr ? ORV_NEW(CpuUsageMonitor)() : nullptr;
    MutexGuard guard(m_mutex);
    if (m_cpu.load() == nullptr)
        m_cpu.store(created);
    else if (created != nullptr)
        trackedDelete(created);
    i64 ticks = m_cpu.load()->update();
    i64 now = Timer::instance()->getReferenceTimeMs();
    LOG_FULL(LoggerNon, LogInfo, 0) << ticks << " cpu ticks in " << (now - m_lastCpuPrintMs) << " ms"
                                    << std::endl;
    m_lastCpuPrintMs = now;

    std::vector<std::pair<double, std::string>> shares;
    double total = 0;
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        i64 delta = it->second.cpu->update();
        if (it->second.cpu->isGone()) {
            it = eraseThread(it);
            continue;
        }
        if (ticks != 0) {
            double share = static_cast<double>(delta) * 100 / static_cast<double>(ticks);
            shares.emplace_back(share, Logger::instance()->getThreadName(static_cast<u32>(it->first)));
            total += share;
        }
        ++it;
    }
    std::sort(shares.begin(), shares.end(),
              [](const std::pair<double, std::string>& a, const std::pair<double, std::string>& b) {
                  return a.first > b.first;
              });
    std::ostringstream list;
    for (const auto& share : shares)
        if (share.first != 0)
            list << share.second << "=" << share.first << "% ";
    LOG(LogInfo) << "total=" << total << " cpu(perc)" << list.str() << std::endl;
}
