#include "../MemWatcher.h"

#include "../Log.h"

#include <fstream>
#include <map>
#include <sstream>
#include <string>

// The nearest /proc/self/status figures under the same labels: peak and
// current resident size for the working set, peak and current virtual size
// for the page-file usage. There are no paged or non-paged pools: 0.
void MemWatcher::printMem() {
    std::ifstream status("/proc/self/status");
    ORV_ASSERT_AS(status.good(), "NULL != hProcess");
    std::map<std::string, u64> kb;
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string name;
        u64 value = 0;
        if (fields >> name >> value)
            kb[name] = value;
    }
    LOG(LogInfo) << "memory information: "
                 << "PWSS=" << kb["VmHWM:"] * 1024 << " WSS=" << kb["VmRSS:"] * 1024 << " QPPPU=" << 0
                 << " QPU=" << 0 << " QPNPPU=" << 0 << " QNPPU=" << 0 << " PFU=" << kb["VmSize:"] * 1024
                 << " PPFileU=" << kb["VmPeak:"] * 1024 << std::endl;
}
