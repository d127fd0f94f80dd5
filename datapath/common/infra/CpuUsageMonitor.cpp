#include "CpuUsageMonitor.h"

#include "Log.h"
#include "Tweaks.h"

#include <cstdlib>
#include <thread>

namespace {
u32 hardwareConcurrency() {
    unsigned n = std::thread::hardware_concurrency();
    return n != 0 ? n : 1;
}

bool simulated() {
    return Tweaks::instance()->intVal("t_simulativeCpuUsage", 0) != 0;
}
} // namespace

CpuUsageMonitor::CpuUsageMonitor()
    : m_cpuPercent(0), m_prevTotalTicks(0), m_prevIdleTicks(0), m_lastTotalDelta(0),
      m_cpuCount(hardwareConcurrency()) {
    if (simulated()) {
        if (Tweaks::instance()->intVal("t_randomCpuUsage", 0) != 0)
            LOG(LogInfo) << "Using simulative random CPU counters " << std::endl;
        else
            LOG(LogInfo) << "Using simulative CPU counters " << std::endl;
        return;
    }
    LOG(LogInfo) << "Using real windows CPU counters " << std::endl;
    m_counter = Counter::openSystem();
}

CpuUsageMonitor::CpuUsageMonitor(std::unique_ptr<Counter> counter)
    : m_cpuPercent(0), m_prevTotalTicks(0), m_prevIdleTicks(0), m_lastTotalDelta(0),
      m_cpuCount(hardwareConcurrency()), m_counter(std::move(counter)) {}

CpuUsageMonitor::~CpuUsageMonitor() = default;

i64 CpuUsageMonitor::update() {
    if (!m_counter) {
        if (Tweaks::instance()->intVal("t_randomCpuUsage", 0) != 0)
            return randomCpuGeneratorForTests();
        m_cpuPercent = 0;
        return 0;
    }
    i64 total = 0, idle = 0;
    long sts = m_counter->read(&total, &idle);
    if (sts != 0) {
        LOG(LogError) << "PdhGetRawCounterValue returned error "
                      << " sts=" << sts << " " << std::endl;
        return 0;
    }
    i64 totalDelta = total - m_prevTotalTicks;
    i64 idleDelta = idle - m_prevIdleTicks;
    m_cpuPercent = totalDelta > 0 ? (totalDelta - idleDelta) * 100 / totalDelta : 0;
    m_prevTotalTicks = total;
    m_prevIdleTicks = idle;
    m_lastTotalDelta = totalDelta;
    LOG(LogInfo) << "totalTicks=" << totalDelta << " idleTicks=" << idleDelta << " m_cpuCount=" << m_cpuCount
                 << " " << std::endl;
    LOG(LogInfo) << "CPU is " << m_cpuPercent << std::endl;
    return totalDelta;
}

i64 CpuUsageMonitor::randomCpuGeneratorForTests() {
    Tweaks* tweaks = Tweaks::instance();
    CpuUsageProbabilities p;
    p.high = tweaks->uintVal("t_highCpuUsageProbabilityPercent", 0);
    p.mid = tweaks->uintVal("t_midCpuUsageProbabilityPercent", 0);
    p.low = tweaks->uintVal("t_lowCpuUsageProbabilityPercent", 0);
    p.keepPrev = tweaks->uintVal("t_keepPrevCpuUsageProbabilityPercent", 0);
    return randomCpuGeneratorForTests(p, tweaks->uintVal("t_JexCompressionHighCpuThreshold", 90));
}

i64 CpuUsageMonitor::randomCpuGeneratorForTests(const CpuUsageProbabilities& p, u32 highCpuThreshold) {
    u32 highCpuUsageProbabilityPercent = p.high;
    u32 midCpuUsageProbabilityPercent = p.mid;
    u32 lowCpuUsageProbabilityPercent = p.low;
    u32 keepPrevCpuUsageProbabilityPercent = p.keepPrev;
    ORV_CHECK(highCpuUsageProbabilityPercent + lowCpuUsageProbabilityPercent +
                      keepPrevCpuUsageProbabilityPercent + midCpuUsageProbabilityPercent ==
                  100,
              " highCpuUsageProbabilityPercent="
                  << highCpuUsageProbabilityPercent
                  << " midCpuUsageProbabilityPercent=" << midCpuUsageProbabilityPercent
                  << " lowCpuUsageProbabilityPercent=" << lowCpuUsageProbabilityPercent
                  << " keepPrevCpuUsageProbabilityPercent=" << keepPrevCpuUsageProbabilityPercent);
    u32 r = static_cast<u32>(std::rand()) % 100;
    if (r < keepPrevCpuUsageProbabilityPercent) {
        // the previous value stays
    } else if (r < keepPrevCpuUsageProbabilityPercent + lowCpuUsageProbabilityPercent) {
        m_cpuPercent = 0;
    } else if (r < keepPrevCpuUsageProbabilityPercent + lowCpuUsageProbabilityPercent +
                       midCpuUsageProbabilityPercent) {
        m_cpuPercent = static_cast<i64>(highCpuThreshold) - 1;
    } else {
        m_cpuPercent = 100;
    }
    LOG(LogInfo) << "CPU is " << m_cpuPercent << std::endl;
    return m_cpuPercent;
}
