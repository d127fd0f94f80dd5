#pragma once
// What the snapshot flow tells the party that asked for the snapshot. Every
// call is made on the flow's (main) thread.
#include "Types.h"

class ISnapshotFlowListener {
public:
    virtual ~ISnapshotFlowListener() = default;
    // Once, before the requester starts; non-zero stops the flow.
    [[nodiscard]] virtual i32 notifySnapshotPrepare() = 0;
    // The writers are frozen and stay frozen until this returns.
    virtual void notifySnapshotQuiesceSuccess() = 0;
    // Right after the provider was told to thaw.
    virtual void notifySnapshotThawSuccess() = 0;
    // Exactly one of these two ends every flow that got past prepare (and
    // the failure one also ends a refused prepare).
    virtual void notifySnapshotCompleteSuccess() = 0;
    virtual void notifySnapshotCompleteFailure(i32 errNum) = 0;
};
