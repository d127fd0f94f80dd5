#pragma once
// The memory pools' active object: one thread on which requests that could
// not be met at once are completed, so that a thread releasing memory never
// runs the code of the requests it unblocks.
#include "ActiveObject.h"
#include "Singleton.h"

class MemoryAllocationHelper;

class MemoryHelperThread : public ActiveObject, public Singleton<MemoryHelperThread> {
public:
    using Singleton<MemoryHelperThread>::instance;

    // Posted for a helper that the pool keeps: the queue destroys the wrapper
    // after running it, never the helper.
    class ActionWrapper : public ActiveObject::Action {
    public:
        explicit ActionWrapper(MemoryAllocationHelper* helper) : m_helper(helper) {}
        void execute() override;

    private:
        MemoryAllocationHelper* m_helper;
    };

private:
    friend class Singleton<MemoryHelperThread>;
    MemoryHelperThread();

    static bool s_forceVerbose;
};
