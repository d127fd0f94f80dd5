#include "MemoryHelperThread.h"

#include "MemoryAllocationHelper.h"

bool MemoryHelperThread::s_forceVerbose = false;

MemoryHelperThread::MemoryHelperThread() : ActiveObject("MemoryHelperThread", &s_forceVerbose) {
    open();
}

void MemoryHelperThread::ActionWrapper::execute() {
    m_helper->execute();
}
