#include "MemShieldAO.h"

bool MemShieldAO::s_forceVerbose = false;

namespace {
// Long enough for any start-up; bounded so that a creator that holds a lock
// the new threads need is delayed once rather than stopped.
const u32 kThreadReadyWaitMs = 2000;
} // namespace

// Returns once the thread has started and created its keepalive, and with it
// the dead-lock checker: both start records are then in the log of a run,
// however short the run.
MemShieldAO::MemShieldAO() : ActiveObject("MemShieldAO", &s_forceVerbose) {
    open();
    m_threadReady.waitFor(kThreadReadyWaitMs);
}

void MemShieldAO::onThreadStart(u32 threadSeq) {
    (void)threadSeq;
    m_threadReady.post();
}
