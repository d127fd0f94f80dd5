#include "../CpuUsageMonitor.h"

#include <cerrno>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// The first line of /proc/stat: clock ticks spent by all processors in each
// state. Idle time counts idle and iowait; both are scaled to 100 ns of wall
// time (ticks per processor), the unit the thread samples use.
class ProcStatCounter : public CpuUsageMonitor::Counter {
public:
    long read(i64* totalTicks, i64* idleTicks) override {
        std::ifstream stat("/proc/stat");
        std::string cpu;
        long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
        if (!(stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) ||
            cpu != "cpu")
            return errno != 0 ? errno : -1;
        long hz = sysconf(_SC_CLK_TCK);
        unsigned n = std::thread::hardware_concurrency();
        i64 scale = static_cast<i64>(hz > 0 ? hz : 100) * (n != 0 ? n : 1);
        *totalTicks = (user + nice + system + idle + iowait + irq + softirq + steal) * 10000000 / scale;
        *idleTicks = (idle + iowait) * 10000000 / scale;
        return 0;
    }
};

} // namespace

std::unique_ptr<CpuUsageMonitor::Counter> CpuUsageMonitor::Counter::openSystem() {
    std::unique_ptr<Counter> counter(new ProcStatCounter());
    i64 total = 0, idle = 0;
    counter->read(&total, &idle);
    return counter;
}
