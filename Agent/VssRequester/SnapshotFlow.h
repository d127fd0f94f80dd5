#pragma once
// One snapshot, ordered: only one agent at a time on the machine, the
// requester's DoSnapshot on a worker thread, a bounded wait for the provider
// to report the writers frozen, the listener's work while they are frozen,
// the thaw, the join, the statuses for the runner, and a second snapshot.
// While the requester's first run may be inside the frozen window, the boot
// policy is relaxed and LastAliveStamp is out of the registry (the two
// guards), so that a machine brought back to the checkpoint boots plainly.
//
// Flow statuses: 0 the quiesced event was set and the listener ran; -1000 the
// quiesced wait was abandoned; -1001 it timed out; -1002 it failed or the
// listener refused to prepare; -1005 no worker thread. The requester's own
// result reaches the runner through the status channel only.
//
// The flow is platform-free: every call it makes on the operating system
// goes through an ISnapshotFlowPlatform.
#include "Types.h"
#include "VssRequester/ArgsRequester.h"
#include "VssRequester/ISnapshotFlowPlatform.h"

class IInterProcessCommunicationHandler;
class IVssRequester;
class ISnapshotFlowListener;
class StatusReaderWriter;

class SnapshotFlow {
public:
    static constexpr i32 kWaitAbandoned = -1000;
    static constexpr i32 kWaitTimedOut = -1001;
    static constexpr i32 kWaitFailedOrPrepareRefused = -1002;
    static constexpr i32 kNoWorkerThread = -1005;
    static constexpr i32 kRequesterThrew = -1008;

    // What the worker thread, and later the second snapshot, run.
    struct DoSnapshotContext {
        IVssRequester* requester;
        ArgsRequester* args;
    };

    // The caller owns all three; the flow owns its named objects and its
    // worker thread, which it always joins before it returns. On Windows'
    // own objects: Windows only.
    [[nodiscard]] i32 execute(ISnapshotFlowListener* listener, IVssRequester* requester,
                              StatusReaderWriter* statusReaderWriter);
    // The same flow on the given platform, writing its statuses to `status`.
    [[nodiscard]] i32 execute(ISnapshotFlowListener* listener, IVssRequester* requester,
                              IInterProcessCommunicationHandler& status, ISnapshotFlowPlatform& platform);
    // The frozen window: the listener's work, then the provider's thaw.
    static void signalVssIsFrozenWaitForThaw(ISnapshotFlowListener* listener);
    // One DoSnapshot on `context` (a DoSnapshotContext): the worker thread's
    // start routine. A failure releases the quiesced event, so that the flow
    // does not wait for its time-out. The result is DoSnapshot's, or -1008
    // when it throws.
    static ThreadResult ORV_THREAD_ROUTINE launchVssRequesterDoSnapshot(void* context);

    ArgsRequester m_argsRequester;

private:
    // The steps of execute; their records carry its label (`columns`).
    static PlatformHandle takeMutexAndEvents(ISnapshotFlowPlatform& platform, const char* columns);
    static void closeEventsAndReleaseMutex(PlatformHandle& mutex);
    // The wait for the freeze, the status it gives and, on a freeze, the
    // listener's work between it and the thaw.
    static i32 waitForFreezeAndThaw(ISnapshotFlowListener* listener,
                                    IInterProcessCommunicationHandler& status,
                                    ISnapshotFlowPlatform& platform, const char* columns);
    static void reportFirstSession(const PlatformHandle& worker, IInterProcessCommunicationHandler& status,
                                   const char* columns);
    static void closeEvents();
    // Sets the event; a failure is logged under `columns` and changes nothing.
    static void setEventOrLog(const PlatformHandle& event, const char* columns);

    // One flow per process.
    static PlatformHandle s_quiescedEvent;
    static PlatformHandle s_thawEvent;
    // Set once the flow has closed both events (they are not reopened for
    // the second snapshot), so that a closed handle is told from one that
    // the platform never gave.
    static bool s_eventsClosed;
    // Written by the worker, read by the flow only after the join.
    static i32 s_doSnapshotResult;
};
