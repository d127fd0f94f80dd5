#include "../MemWatcher.h"

#include "../Log.h"
#include "WinHandle.h"

#include <psapi.h>

void MemWatcher::printMem() {
    WinHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
    HANDLE hProcess = process.get();
    ORV_ASSERT(nullptr != hProcess);
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(hProcess, &pmc, sizeof pmc);
    LOG(LogInfo) << "memory information: "
                 << "PWSS=" << pmc.PeakWorkingSetSize << " WSS=" << pmc.WorkingSetSize
                 << " QPPPU=" << pmc.QuotaPeakPagedPoolUsage << " QPU=" << pmc.QuotaPagedPoolUsage
                 << " QPNPPU=" << pmc.QuotaPeakNonPagedPoolUsage << " QNPPU=" << pmc.QuotaNonPagedPoolUsage
                 << " PFU=" << pmc.PagefileUsage << " PPFileU=" << pmc.PeakPagefileUsage << std::endl;
}
