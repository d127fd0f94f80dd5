#include "../ThreadCpuUsageMonitor.h"

#include "../Log.h"

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

// The thread's user time from /proc: the 14th field of its stat line, in
// clock ticks, converted to 100 ns units.
i64 ThreadCpuUsageMonitor::update() {
    std::ifstream stat("/proc/self/task/" + std::to_string(m_threadId) + "/stat");
    if (!stat) {
        m_gone = true;
        LOG(LogError) << "failed opening thread" << std::endl;
        return 0;
    }
    std::string line;
    std::getline(stat, line);
    // The command name (field 2) may hold blanks; fields after it do not.
    size_t close = line.rfind(')');
    std::istringstream fields(close == std::string::npos ? std::string() : line.substr(close + 1));
    std::string field;
    for (int i = 3; i < 14 && fields >> field; ++i) {
    }
    long long ticks = -1;
    long hz = sysconf(_SC_CLK_TCK);
    if (!(fields >> ticks) || hz <= 0) {
        LOG(LogError) << "failed getting thread times" << std::endl;
        return 0;
    }
    i64 now = static_cast<i64>(ticks) * 10000000 / hz;
    i64 prev = m_lastUserTime;
    m_lastUserTime = now;
    return prev < 0 ? 0 : now - prev;
}
