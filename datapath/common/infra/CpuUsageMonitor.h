#pragma once
// The machine's CPU load, from the operating system's counters or, for tests
// of load-dependent behaviour, simulated from tweaks:
//   t_simulativeCpuUsage (0): non-zero simulates;
//   t_randomCpuUsage (0): with simulation, draws each sample at random;
//   t_{high,mid,low,keepPrev}CpuUsageProbabilityPercent (0 each, must sum to
//   100 when drawing): the chances of 100, threshold - 1, 0 and the previous
//   value;
//   t_JexCompressionHighCpuThreshold (90): the threshold.
#include "Types.h"

#include <memory>

struct CpuUsageProbabilities {
    u32 high;
    u32 mid;
    u32 low;
    u32 keepPrev;
};

class CpuUsageMonitor {
public:
    // Cumulative busy-time counters of the whole machine.
    class Counter {
    public:
        virtual ~Counter() = default;
        // Total and idle time since an arbitrary start, in one unit (100 ns
        // on every platform); 0 on success, else the system's status.
        virtual long read(i64* totalTicks, i64* idleTicks) = 0;
        // The operating system's counters, sampled once.
        static std::unique_ptr<Counter> openSystem();
    };

    // The mode comes from the tweaks; the real mode opens the system's
    // counters.
    CpuUsageMonitor();
    // Real mode on the given counters, whatever the tweaks say.
    explicit CpuUsageMonitor(std::unique_ptr<Counter> counter);
    ~CpuUsageMonitor();

    // Samples the load. Real mode: returns the elapsed total ticks since the
    // previous sample (0 when the counters cannot be read); simulated mode:
    // the simulated percentage.
    i64 update();
    // The last busy percentage.
    i64 cpuPercent() const { return m_cpuPercent; }

    // Draws one simulated sample from the tweaks' probabilities.
    i64 randomCpuGeneratorForTests();
    // Draws one sample from the given probabilities, which must sum to 100
    // (anything else ends the process).
    i64 randomCpuGeneratorForTests(const CpuUsageProbabilities& p, u32 highCpuThreshold);

private:
    CpuUsageMonitor(const CpuUsageMonitor&) = delete;
    CpuUsageMonitor& operator=(const CpuUsageMonitor&) = delete;

    i64 m_cpuPercent;
    i64 m_prevTotalTicks;
    i64 m_prevIdleTicks;
    i64 m_lastTotalDelta;
    u32 m_cpuCount;
    std::unique_ptr<Counter> m_counter; // null in simulated mode
};
