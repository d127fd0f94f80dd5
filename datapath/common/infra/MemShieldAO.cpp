#include "MemShieldAO.h"

#include "MemShieldReports.h"
#include "MemWatcher.h"
#include "MemoryHeap.h"
#include "MemoryPoolImpl.h"

bool MemShieldAO::s_forceVerbose = false;

// Returns once the thread has started and created its keepalive, and with it
// the dead-lock checker: both start records are then in the log of a run,
// however short the run.
MemShieldAO::MemShieldAO() : ActiveObject("MemShieldAO", &s_forceVerbose) {
    open();
    m_threadReady.wait();
}

void MemShieldAO::onThreadStart(u32 threadSeq) {
    (void)threadSeq;
    m_threadReady.post();
}

void MemShieldAO::start() {
    MemShieldReports::add([] { MemWatcher::instance()->printCpu(); });
    MemShieldReports::add([] { MemWatcher::instance()->printMem(); });
    MemShieldReports::add([] { MemoryHeap::instance()->printMemoryUsage(); });
    MemShieldReports::add(&MemoryPoolImpl::printLivePools);
    instance();
}
