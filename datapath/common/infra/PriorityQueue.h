#pragma once
// A queue with a fixed number of priority levels (the highest index is served
// first, oldest item first within a level), registered for memory accounting
// under its name. Not thread-safe: its owner locks around it.
#include "Log.h"
#include "MemWatchedContainer.h"
#include "Timer.h"
#include "Tweaks.h"
#include "Types.h"

#include <algorithm>
#include <list>
#include <sstream>
#include <string>
#include <vector>

// A doubly linked list that keeps its own count, so that size queries never
// depend on the list implementation.
template <class T> class OptimizedList {
public:
    typedef typename std::list<T>::iterator iterator;

    iterator begin() { return m_list.begin(); }
    iterator end() { return m_list.end(); }
    bool empty() const { return m_count == 0; }
    u64 count() const { return m_count; }
    iterator pushBack(const T& item) {
        ++m_count;
        return m_list.insert(m_list.end(), item);
    }
    iterator erase(iterator it) {
        --m_count;
        return m_list.erase(it);
    }

private:
    std::list<T> m_list;
    u64 m_count = 0;
};

template <class T> class PriorityQueue : public MemWatchedContainer {
public:
    struct QueueStats {
        u64 m_sizeBytes = 0;
        u64 highWatermark = 0;
        u64 lowWatermark = 0;
    };

    PriorityQueue(u32 levels, const std::string& name, bool printStats)
        : MemWatchedContainer(name.c_str(), 8, 0), m_currentPriority(0), m_queues(levels),
          m_queueStats(levels), m_printStats(printStats), m_lastPrintMs(0), m_printIntervalMs(10000),
          m_name(name) {
        for (OptimizedList<T>& list : m_queues)
            m_cursors.push_back(list.end());
        Tweaks* tweaks = Tweaks::instance();
        m_printIntervalMs = tweaks->uintVal("t_JexPriorityQueuePrintIntervalMs", 10000u);
        if (tweaks->longVal("t_IOVerboseLogs", 0) != 0)
            m_printIntervalMs = 500;
        MemWatchedContainerDatabase::instance()->registerContainer(this);
    }
    ~PriorityQueue() override { MemWatchedContainerDatabase::instance()->unregisterContainer(this); }
    PriorityQueue(const PriorityQueue&) = delete;
    PriorityQueue& operator=(const PriorityQueue&) = delete;

    // The total count over all levels.
    size_t size() const override {
        u64 total = 0;
        for (const OptimizedList<T>& list : m_queues)
            total += list.count();
        return static_cast<size_t>(total);
    }
    virtual void setName(const std::string& name) { m_name = name; }

    void enqueue(const T& item, u32 priority = 0) {
        ORV_CHECK_LABELED(label("enqueue"), priority < m_queues.size(),
                          "priority too high"
                              << " priority=" << priority << " m_queues.size()=" << m_queues.size());
        printStatsIfNeeded();
        OptimizedList<T>& list = m_queues[priority];
        typename OptimizedList<T>::iterator added = list.pushBack(item);
        QueueStats& stats = m_queueStats[priority];
        stats.highWatermark = std::max(stats.highWatermark, list.count());
        if (m_cursors[priority] == list.end())
            m_cursors[priority] = added;
        // A higher level may now hold an item; extraction walks down from here.
        m_currentPriority = std::max(m_currentPriority, priority);
    }

    bool extract(T& item, u32& priority) {
        for (;;) {
            OptimizedList<T>& list = m_queues[m_currentPriority];
            if (!list.empty() && m_cursors[m_currentPriority] != list.end())
                break;
            if (m_currentPriority == 0)
                return false;
            --m_currentPriority;
        }
        u32 p = m_currentPriority;
        item = *m_cursors[p];
        priority = p;
        m_cursors[p] = m_queues[p].erase(m_cursors[p]);
        removedItemFromPrio(p, 0);
        printStatsIfNeeded();
        return true;
    }

    // True when some level still has an item to hand out.
    bool hasItems() {
        for (size_t p = 0; p < m_queues.size(); ++p)
            if (m_cursors[p] != m_queues[p].end())
                return true;
        return false;
    }

    u64 size(u32 priority) {
        ORV_CHECK_LABELED(label("size"), priority < m_queues.size(),
                          "invalid priority"
                              << " priority=" << priority << " m_queues.size()=" << m_queues.size());
        return m_queues[priority].count();
    }
    u64 sizeBytes(u32 priority) {
        ORV_CHECK_LABELED(label("sizeBytes"), priority < m_queueStats.size(),
                          "invalid priority"
                              << " priority=" << priority << " m_queues.size()=" << m_queues.size());
        return m_queueStats[priority].m_sizeBytes;
    }

    void removedItemFromPrio(u32 prio, u64 itemSize) {
        ORV_CHECK_LABELED(label("removedItemFromPrio"), m_queueStats[prio].m_sizeBytes >= itemSize,
                          " m_queueStats[prio].m_sizeBytes=" << m_queueStats[prio].m_sizeBytes
                                                             << " itemSize=" << itemSize);
        m_queueStats[prio].m_sizeBytes -= itemSize;
        m_queueStats[prio].lowWatermark = std::min(m_queueStats[prio].lowWatermark, m_queues[prio].count());
    }

    void printStatsIfNeeded() {
        if (!m_printStats)
            return;
        u64 now = static_cast<u64>(Timer::instance()->getLastTimestampMs_Inaccurate(false));
        if (now - m_lastPrintMs < m_printIntervalMs)
            return;
        m_lastPrintMs = now;
        std::ostringstream text;
        for (size_t p = m_queues.size(); p-- > 0;) {
            QueueStats& stats = m_queueStats[p];
            u64 count = m_queues[p].count();
            text << "Q" << p << ":" << count << " (" << stats.m_sizeBytes << " B "
                 << "WM-H" << stats.highWatermark << " L" << stats.lowWatermark << ") ";
            stats.highWatermark = count;
            stats.lowWatermark = count;
        }
        LOG_LABELED(LogInfo, "PriorityQueue::printStatsIfNeeded")
            << "(" << m_name << ")" << text.str() << std::endl;
    }

    u32 currentPriority() const { return m_currentPriority; }
    u32 levels() const { return static_cast<u32>(m_queues.size()); }
    const std::string& name() const { return m_name; }

private:
    // Labels as MSVC spells a member of this template, on every compiler.
    static std::string label(const char* function) {
        return "PriorityQueue<" + labelTypeName<T>() + ">::" + function;
    }

    u32 m_currentPriority;
    std::vector<OptimizedList<T>> m_queues;
    std::vector<QueueStats> m_queueStats;
    std::vector<typename OptimizedList<T>::iterator> m_cursors;
    bool m_printStats;
    u64 m_lastPrintMs;
    u32 m_printIntervalMs;
    std::string m_name;
};
