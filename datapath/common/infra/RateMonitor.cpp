#include "RateMonitor.h"

#include "Log.h"
#include "Timer.h"

#include <algorithm>
#include <limits>

RateMonitor::RateMonitor(const std::string& name, u64 periodUs, u32 periodTasks)
    : m_name(name), m_busySinceUs(0), m_currentActiveTasks(0), m_periodUs(periodUs),
      m_periodTasks(periodTasks) {}

RateMonitor::~RateMonitor() {
    ORV_CHECK(m_currentActiveTasks == 0, " m_name=" << m_name << " "
                                                    << " m_currentActiveTasks=" << m_currentActiveTasks
                                                    << " ");
}

void RateMonitor::incActiveTasksLocked(i32 c) {
    ORV_CHECK(c == 1 || c == -1, " c=" << c << " ");
    if (c == -1)
        ORV_CHECK(m_currentActiveTasks > 0, " m_name=" << m_name << " ");
    m_currentActiveTasks += c;
}

u32 RateMonitor::perSecond(u64 count, u64 us) {
    if (us == 0)
        return kMaxRate;
    const u64 kMicro = 1000000;
    // Divide first where multiplying first would overflow.
    u64 rate = count <= std::numeric_limits<u64>::max() / kMicro ? count * kMicro / us : count / us * kMicro;
    return static_cast<u32>(std::min<u64>(rate, kMaxRate));
}

void RateMonitor::recordLocked(u64 nowUs, u64 durationUs, u64 bytes) {
    i32 concurrency = m_currentActiveTasks;
    incActiveTasksLocked(-1);
    Period& p = m_current;
    if (p.tasks == 0)
        p.startUs = nowUs >= durationUs ? nowUs - durationUs : 0;
    p.busyUs += durationUs;
    ++p.tasks;
    p.bytes += bytes;
    p.maxDurationUs = std::max(p.maxDurationUs, durationUs);
    p.minConcurrency = p.tasks == 1 ? concurrency : std::min(p.minConcurrency, concurrency);
    p.maxConcurrency = std::max(p.maxConcurrency, concurrency);
    p.sumConcurrency += static_cast<u64>(concurrency);
    p.elapsedUs = nowUs > p.startUs ? nowUs - p.startUs : 0;
    if (p.elapsedUs < m_periodUs && p.tasks < m_periodTasks)
        return;
    m_rates.tasksPerSecBusy = perSecond(p.tasks, p.busyUs);
    m_rates.itemsPerSecBusy = perSecond(p.items, p.busyUs);
    m_rates.tasksPerSecPeriod = perSecond(p.tasks, p.elapsedUs);
    m_rates.itemsPerSecPeriod = perSecond(p.items, p.elapsedUs);
    m_rates.utilisation =
        p.elapsedUs == 0 ? 1.0 : static_cast<double>(p.busyUs) / static_cast<double>(p.elapsedUs);
    m_closed = p;
    m_current = Period();
    update();
}

void RateMonitor::update() {
    const Period& p = m_closed;
    LogItem statement(LoggerJex, LogInfo, ORV_LOG_COLUMNS(), 3);
    std::ostream& item = statement.stream();
    item << m_name << " time=" << p.busyUs << " (" << p.elapsedUs << ") rate=" << m_rates.tasksPerSecPeriod;
    if (p.tasks != 0)
        item << " latency=[Avg: " << p.busyUs / p.tasks << " Max: " << p.maxDurationUs << "]";
    if (p.bytes != 0)
        item << "<bw=" << perSecond(p.bytes, p.busyUs);
    if (p.maxConcurrency > 1)
        item << " concurrency=[Min:" << p.minConcurrency
             << " Avg:" << static_cast<double>(p.sumConcurrency) / p.tasks << " Max:" << p.maxConcurrency
             << "]";
    item << std::endl;
}

void RateMonitor::itemPosted(bool queueWasEmpty) {
    MutexGuard guard(m_mutex);
    if (queueWasEmpty && m_busySinceUs == 0) {
        m_busySinceUs = static_cast<u64>(Timer::instance()->getSteadyTimeUs());
        incActiveTasksLocked(1);
    }
    addItemsLocked(1);
}

void RateMonitor::queueDrained() {
    MutexGuard guard(m_mutex);
    if (m_busySinceUs == 0)
        return;
    u64 now = static_cast<u64>(Timer::instance()->getSteadyTimeUs());
    recordLocked(now, now - m_busySinceUs);
    m_busySinceUs = 0;
}
