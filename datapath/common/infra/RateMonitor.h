#pragma once
// Throughput, busy time, latency and concurrency of a stream of tasks, logged
// once per period.
//
// A task is counted active from incActiveTasksLocked(+1) until it is recorded
// finished (recordLocked). Periods:
// - a period begins with the first task recorded after the previous one
//   closed, at that task's start (its end less its duration);
// - it closes at the record that makes it last periodUs or more, or count
//   periodTasks tasks, whichever comes first;
// - on closing, the per-second rates are count x 1,000,000 / microseconds,
//   clamped to kMaxRate, and kMaxRate when no time has passed; the
//   utilisation is busy time / period time (1 when the period took no time);
//   then update() logs the period and the next one starts empty.
// Times are steady-clock microseconds (Timer::getSteadyTimeUs). Network
// figures are not kept: nothing in the library measures them.
//
// An ActiveObject that owns a monitor reports each stretch during which its
// queue held actions as one task (itemPosted / queueDrained), and the
// actions posted meanwhile as its items.
//
// Every operation whose name ends in Locked, and update(), expects the
// monitor lock (getLock()) held; itemPosted and queueDrained take it.
#include "Mutex.h"
#include "Types.h"

#include <string>

class RateMonitor {
public:
    static const u32 kMaxRate = 4294967295u;

    struct Rates {
        u32 tasksPerSecBusy = 0;
        u32 itemsPerSecBusy = 0;
        u32 tasksPerSecPeriod = 0;
        u32 itemsPerSecPeriod = 0;
        double utilisation = 0;
    };

    explicit RateMonitor(const std::string& name, u64 periodUs = 10000000, u32 periodTasks = 1000);
    // Ends the process while tasks are still active.
    ~RateMonitor();
    RateMonitor(const RateMonitor&) = delete;
    RateMonitor& operator=(const RateMonitor&) = delete;

    Mutex& getLock() { return m_mutex; }

    // c is +1 (a task starts) or -1 (one ends); anything else, or ending a
    // task when none is active, ends the process.
    void incActiveTasksLocked(i32 c);
    // The task that started last ended at nowUs after durationUs, having
    // handled `bytes`.
    void recordLocked(u64 nowUs, u64 durationUs, u64 bytes = 0);
    void addItemsLocked(u64 count) { m_current.items += count; }
    // One Info record with the figures of the period that closed last.
    void update();
    Rates getRatesLocked() const { return m_rates; }

    // An active object's queue: an action was posted to it (queueWasEmpty:
    // this begins a busy stretch), or its last action was taken out.
    void itemPosted(bool queueWasEmpty);
    void queueDrained();

private:
    // What one period counts.
    struct Period {
        u64 startUs = 0;
        u64 elapsedUs = 0;
        u32 tasks = 0;
        u64 items = 0;
        u64 bytes = 0;
        u64 busyUs = 0;
        u64 maxDurationUs = 0;
        i32 minConcurrency = 0;
        i32 maxConcurrency = 0;
        u64 sumConcurrency = 0;
    };

    static u32 perSecond(u64 count, u64 us);

    std::string m_name;
    Mutex m_mutex;
    u64 m_busySinceUs; // 0: the owner's queue is idle
    i32 m_currentActiveTasks;
    u64 m_periodUs;
    u32 m_periodTasks;
    Period m_current;
    Period m_closed; // the period update() logs
    Rates m_rates;   // of m_closed
};
