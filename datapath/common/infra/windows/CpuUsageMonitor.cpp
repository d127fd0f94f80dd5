#include "../CpuUsageMonitor.h"

#include "../Log.h"

#include <windows.h>

#include <pdh.h>
#include <pdhmsg.h>

namespace {

// The "% Idle Time" counter of all processors: its value is the idle time and
// its second value the time base, both in 100 ns units.
class PdhIdleCounter : public CpuUsageMonitor::Counter {
public:
    PdhIdleCounter() : m_query(nullptr), m_counter(nullptr) {
        PDH_STATUS sts = PdhOpenQueryA(nullptr, 0, &m_query);
        if (sts == ERROR_SUCCESS)
            sts = PdhAddCounterA(m_query, "\\Processor(_Total)\\% Idle Time", 0, &m_counter);
        if (sts == ERROR_SUCCESS)
            sts = PdhCollectQueryData(m_query);
        if (sts != ERROR_SUCCESS)
            LOG(LogError) << "opening the CPU counters failed "
                          << " sts=" << static_cast<long>(sts) << " " << std::endl;
    }
    ~PdhIdleCounter() override {
        if (m_query != nullptr)
            PdhCloseQuery(m_query);
    }

    long read(i64* totalTicks, i64* idleTicks) override {
        if (m_counter == nullptr)
            return static_cast<long>(PDH_INVALID_HANDLE);
        PdhCollectQueryData(m_query);
        PDH_RAW_COUNTER raw;
        PDH_STATUS sts = PdhGetRawCounterValue(m_counter, nullptr, &raw);
        if (sts != ERROR_SUCCESS)
            return static_cast<long>(sts);
        *totalTicks = raw.SecondValue;
        *idleTicks = raw.FirstValue;
        return 0;
    }

private:
    PDH_HQUERY m_query; // closing the query releases its counters
    PDH_HCOUNTER m_counter;
};

} // namespace

std::unique_ptr<CpuUsageMonitor::Counter> CpuUsageMonitor::Counter::openSystem() {
    return std::unique_ptr<Counter>(new PdhIdleCounter());
}
