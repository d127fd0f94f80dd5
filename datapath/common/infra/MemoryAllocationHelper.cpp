#include "MemoryAllocationHelper.h"

#include "Log.h"
#include "MemoryHelperThread.h"
#include "MemoryPoolImpl.h"
#include "TrackedNew.h"

void MemoryAllocationHelper::update(RcStatus a_val) {
    if (a_val != RC_SUCCESS)
        ORV_CHECK(a_val == RC_ABORTED || a_val == RC_TIME_OUT, " a_val=" << a_val << " ");
    m_value = a_val;
    // The queue's lock orders this write before the helper thread's read.
    // Registered under the pool as its source: an allocation report groups the
    // wrappers with the pool that caused them, whichever unit creates them.
    typedef MemoryHelperThread::ActionWrapper ActionWrapper;
    MemoryHelperThread::instance()->enqueue(
        TrackedNew<ActionWrapper>("ActionWrapper", "datapath/common/infra/MemoryPool", 1221)(this));
}

void MemoryAllocationHelper::execute() {
    m_pool->completeHelperRequest(this);
}
