#pragma once
// The listener of a snapshot the runner asked for: tells the runner through
// named events that the writers are frozen, gives it a bounded time to do its
// work while they are, and tells it when the snapshot has completed.
#include "VssRequester/ISnapshotFlowListener.h"
#include "windows/WinHandle.h"

class SnapshotFlowExternallyInitiatedListener : public ISnapshotFlowListener {
public:
    // Closed in field order, not in the reverse order of member destruction.
    ~SnapshotFlowExternallyInitiatedListener() override {
        m_eventFreezeComplete.reset();
        m_eventThawStart.reset();
        m_eventThawComplete.reset();
    }
    i32 notifySnapshotPrepare() override;
    void notifySnapshotQuiesceSuccess() override;
    void notifySnapshotThawSuccess() override {}
    void notifySnapshotCompleteSuccess() override;
    void notifySnapshotCompleteFailure(i32 errNum) override;

private:
    WinHandle m_eventFreezeComplete;
    WinHandle m_eventThawStart;
    WinHandle m_eventThawComplete;
    i32 m_thawStartTimeout = 0; // ms, read at prepare
};
