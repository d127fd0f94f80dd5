#pragma once
// Carries one pool request to the MemoryHelperThread: when the future it
// observes is set (or the pool tells it a value as a set future would), it
// records the value and posts itself, through an ActionWrapper, to the
// helper thread, where the pool completes the request. The pool owns it.
#include "ActiveObject.h"
#include "Future.h"
#include "RcStatus.h"
#include "Types.h"

class MemoryPoolImpl;

class MemoryAllocationHelper : public FutureObserver<RcStatus>, public ActiveObject::Action {
public:
    explicit MemoryAllocationHelper(MemoryPoolImpl* pool) : m_pool(pool) {}

    void onFutureSet(RcStatus value) override { update(value); }
    // A request ends with success, RC_ABORTED or RC_TIME_OUT; any other
    // value ends the process.
    void update(RcStatus a_val);
    // On the helper thread: the pool completes the request. The pool may
    // destroy the helper in there.
    void execute() override;

    RcStatus getValue() const { return m_value; }
    // The single allocation a request for more memory brought.
    void setBlock(void* block, u64 sizeBytes) {
        m_block = block;
        m_blockSize = sizeBytes;
    }
    void* getBlock() const { return m_block; }
    u64 getBlockSize() const { return m_blockSize; }

private:
    MemoryPoolImpl* m_pool;
    RcStatus m_value = RC_SUCCESS;
    void* m_block = nullptr;
    u64 m_blockSize = 0;
};
