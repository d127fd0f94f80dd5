#include "MemShieldAO.h"

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
