#include "VssRequester/SnapshotFlow.h"

#include "AgentCommon/AgentObjectNames.h"
#include "AgentCommon/AgentTweaks.h"
#include "AgentCommon/IInterProcessCommunicationHandler.h"
#include "AgentCommon/PlatformErrorLog.h"
#include "AgentCommon/RunRecord.h"
#include "Log.h"
#include "VssRequester/ISnapshotFlowListener.h"
#include "VssRequester/IVssRequester.h"

#include <exception>

#ifdef _WIN32
#include "AgentCommon/StatusReaderWriter.h"
#include "VssRequester/WindowsSnapshotFlowPlatform.h"
#endif

PlatformHandle SnapshotFlow::s_quiescedEvent;
PlatformHandle SnapshotFlow::s_thawEvent;
bool SnapshotFlow::s_eventsClosed = false;
i32 SnapshotFlow::s_doSnapshotResult = 0;

namespace {
// An exception of no standard type would end the process from a worker
// thread, with the provider possibly holding the writers; it is reported like
// a standard one instead. On the main thread (the second snapshot) it reaches
// the entry point's last-resort handler.
ThreadResult ORV_THREAD_ROUTINE doSnapshotThread(void* context) {
    try {
        return SnapshotFlow::launchVssRequesterDoSnapshot(context);
    } catch (...) {
        LOG(LogError) << "launchVssRequesterDoSnapshot failed due to : unknown exception" << std::endl;
        return static_cast<ThreadResult>(SnapshotFlow::kRequesterThrew);
    }
}

// While the flow waits for the freeze and holds the writers frozen, the log
// writers look at their queues every few milliseconds instead of being woken
// by each record: a writer thread that wakes, writes and sleeps again for
// every record competes with the frozen window's own thread (measured under
// Wine on two cores: about 2 ms of a 10 ms window). Records keep their order
// and time stamps and reach the files at most GenFileLogger::kDeferredPollMs
// later; an Error record still flushes at once.
class DeferredLogWrites {
public:
    DeferredLogWrites() { Logger::instance()->deferWrites(true); }
    ~DeferredLogWrites() { Logger::instance()->deferWrites(false); }
    DeferredLogWrites(const DeferredLogWrites&) = delete;
    DeferredLogWrites& operator=(const DeferredLogWrites&) = delete;
};

// Alive exactly while the requester may be inside the frozen window; ended
// in reverse order, so the stamp is back before the boot policy.
class CrashRecoveryGuards {
public:
    explicit CrashRecoveryGuards(ISnapshotFlowPlatform& platform) : m_platform(platform) {
        m_platform.startErrorRecoveryGuard(m_platform.osMajorVersion());
        m_platform.startLastAliveStampGuard();
    }
    ~CrashRecoveryGuards() { end(); }
    CrashRecoveryGuards(const CrashRecoveryGuards&) = delete;
    CrashRecoveryGuards& operator=(const CrashRecoveryGuards&) = delete;

    void end() {
        if (m_ended)
            return;
        m_ended = true;
        m_platform.endLastAliveStampGuard();
        m_platform.endErrorRecoveryGuard();
    }

private:
    ISnapshotFlowPlatform& m_platform;
    bool m_ended = false;
};

void writeStatus(IInterProcessCommunicationHandler& status, i32 value) {
    status.write(value);
    RunRecord::current().status = value;
}

void releaseMutex(PlatformHandle& mutex) {
    mutex.platform()->releaseMutex(mutex.get());
    mutex.reset();
}
} // namespace

#ifdef _WIN32
i32 SnapshotFlow::execute(ISnapshotFlowListener* listener, IVssRequester* requester,
                          StatusReaderWriter* statusReaderWriter) {
    WindowsSnapshotFlowPlatform platform;
    return execute(listener, requester, *statusReaderWriter->handler(), platform);
}
#endif

i32 SnapshotFlow::execute(ISnapshotFlowListener* listener, IVssRequester* requester,
                          IInterProcessCommunicationHandler& status, ISnapshotFlowPlatform& platform) {
    // Every record of the flow carries this label, whichever step makes it.
    const char* columns = ORV_LOG_COLUMNS();
    PlatformHandle mutex = takeMutexAndEvents(platform, columns);

    i32 res = listener->notifySnapshotPrepare();
    if (res != 0) {
        LOG(LogError) << "notifyFreezePrepare failed with"
                      << " res=" << res << " " << std::endl;
        closeEventsAndReleaseMutex(mutex);
        listener->notifySnapshotCompleteFailure(res);
        return kWaitFailedOrPrepareRefused;
    }

    CrashRecoveryGuards guards(platform);

    DoSnapshotContext context = {requester, &m_argsRequester};
    LOG(LogInfo) << "Invoking requester" << std::endl;
    PlatformHandle worker(platform, platform.createThread(doSnapshotThread, &context));
    if (!worker.valid()) {
        const u32 lastError = platform.lastError();
        LOG(LogError) << "CreateThread failed. Last error: " << lastError << std::endl;
        closeEventsAndReleaseMutex(mutex);
        listener->notifySnapshotCompleteFailure(1);
        guards.end();
        return kNoWorkerThread;
    }

    const i32 flowStatus = waitForFreezeAndThaw(listener, status, platform, columns);

    // Both events stay open until the worker has ended: a DoSnapshot that
    // fails after the wait above still sets the quiesced event and must find
    // it open, and a provider that opens the thaw event only after reporting
    // the freeze must still find the thaw set on it (closing the last handle
    // would destroy the event and its signal with it).
    LOG(LogInfo) << "Waiting for requester doSnapshot thread to terminate" << std::endl;
    platform.wait(worker.get(), ISnapshotFlowPlatform::kInfinite);
    closeEvents();

    guards.end();

    LOG(LogInfo) << "Releasing mutex" << std::endl;
    releaseMutex(mutex);

    reportFirstSession(worker, status, columns);
    LOG(LogInfo) << "creating second snapshot to take writers out of \"Timed out\" state" << std::endl;
    RunRecord::current().secondSnapshotResult = static_cast<i32>(launchVssRequesterDoSnapshot(&context));
    LOG(LogInfo) << "second snapshot completed" << std::endl;

    if (flowStatus == 0)
        listener->notifySnapshotCompleteSuccess();
    return flowStatus;
}

PlatformHandle SnapshotFlow::takeMutexAndEvents(ISnapshotFlowPlatform& platform, const char* columns) {
    LOG_AT(LogInfo, columns) << "Creating mutex" << std::endl;
    PlatformHandle mutex(platform, platform.createMutex(AgentObjectNames::kVssMutex));
    LOG_AT(LogInfo, columns) << "Waiting for mutex" << std::endl;
    platform.wait(mutex.get(), ISnapshotFlowPlatform::kInfinite);

    LOG_AT(LogInfo, columns) << "Creating events" << std::endl;
    s_eventsClosed = false;
    s_quiescedEvent = PlatformHandle(platform, platform.createEvent(AgentObjectNames::kQuiescedEvent));
    s_thawEvent = PlatformHandle(platform, platform.createEvent(AgentObjectNames::kThawEvent));
    // A provider may have created them first, and a signal left from an
    // earlier run must not count for this one.
    platform.resetEvent(s_quiescedEvent.get());
    platform.resetEvent(s_thawEvent.get());
    LOG_AT(LogInfo, columns) << "Events: " << s_quiescedEvent.get() << ", " << s_thawEvent.get() << std::endl;
    return mutex;
}

void SnapshotFlow::closeEventsAndReleaseMutex(PlatformHandle& mutex) {
    closeEvents();
    releaseMutex(mutex);
}

i32 SnapshotFlow::waitForFreezeAndThaw(ISnapshotFlowListener* listener,
                                       IInterProcessCommunicationHandler& status,
                                       ISnapshotFlowPlatform& platform, const char* columns) {
    i32 timeout = AgentTweaks::quiescedEventWaitTimeoutMsec();
    LOG_AT(LogInfo, columns) << "Waiting for event..."
                             << " s_quiescedEvent=" << s_quiescedEvent.get() << " "
                             << "with timeout of :" << timeout << "ms" << std::endl;
    DeferredLogWrites deferredLogWrites;
    const u32 waitResult = platform.wait(s_quiescedEvent.get(), static_cast<u32>(timeout));
    const i64 quiescedTicks = platform.ticksNow();
    i32 flowStatus = 0;
    if (waitResult == ISnapshotFlowPlatform::kWaitAbandoned ||
        waitResult == ISnapshotFlowPlatform::kWaitTimeout ||
        waitResult == ISnapshotFlowPlatform::kWaitFailed) {
        const char* name = waitResult == ISnapshotFlowPlatform::kWaitAbandoned ? "WAIT_ABANDONED"
                           : waitResult == ISnapshotFlowPlatform::kWaitTimeout ? "WAIT_TIMEOUT"
                                                                               : "WAIT_FAILED";
        LOG_AT(LogError, columns) << "::WaitForSingleObject(quiescedEvent, " << timeout << ") returned "
                                  << name << std::endl;
        listener->notifySnapshotCompleteFailure(static_cast<i32>(waitResult));
        // A provider that froze late must not be left holding the writers.
        if (waitResult == ISnapshotFlowPlatform::kWaitTimeout)
            setEventOrLog(s_thawEvent, columns);
        flowStatus = waitResult == ISnapshotFlowPlatform::kWaitAbandoned ? kWaitAbandoned
                     : waitResult == ISnapshotFlowPlatform::kWaitTimeout ? kWaitTimedOut
                                                                         : kWaitFailedOrPrepareRefused;
    }
    // Inside the window only the runner's status and the clock reading that
    // measures its write; the record takes both once the thaw is set.
    status.write(flowStatus);
    const i64 statusWrittenTicks = platform.ticksNow();

    if (flowStatus == 0) {
        signalVssIsFrozenWaitForThaw(listener);
        RunRecord::current().quiescedTicks = quiescedTicks;
        RunRecord::current().statusWrittenTicks = statusWrittenTicks;
    }
    RunRecord::current().status = flowStatus;
    return flowStatus;
}

void SnapshotFlow::reportFirstSession(const PlatformHandle& worker, IInterProcessCommunicationHandler& status,
                                      const char* columns) {
    LOG_AT(LogInfo, columns) << "doSnapshotResult :" << static_cast<u32>(s_doSnapshotResult) << std::endl;
    writeStatus(status, s_doSnapshotResult);
    // The worker's own result: also -1008 when DoSnapshot threw, which the
    // section does not show.
    u32 workerResult = 0;
    RunRecord::current().requesterResult = worker.platform()->threadExitCode(worker.get(), workerResult)
                                               ? static_cast<i32>(workerResult)
                                               : s_doSnapshotResult;
    RunRecord::current().firstSessionDone = true;
}

void SnapshotFlow::closeEvents() {
    s_thawEvent.reset();
    s_quiescedEvent.reset();
    s_eventsClosed = true;
}

void SnapshotFlow::setEventOrLog(const PlatformHandle& event, const char* columns) {
    ISnapshotFlowPlatform* platform = event.platform();
    if (!platform->setEvent(event.get()))
        logSetEventFailure(columns, platform->lastError());
}

void SnapshotFlow::signalVssIsFrozenWaitForThaw(ISnapshotFlowListener* listener) {
    const char* columns = ORV_LOG_COLUMNS();
    LOG(LogInfo) << "Now quiesced" << std::endl;
    listener->notifySnapshotQuiesceSuccess();
    LOG(LogInfo) << "Setting thaw event" << std::endl;
    setEventOrLog(s_thawEvent, columns);
    RunRecord::current().thawSetTicks = s_thawEvent.platform()->ticksNow();
    LOG(LogInfo) << "On thaw." << std::endl;
    listener->notifySnapshotThawSuccess();
}

ThreadResult ORV_THREAD_ROUTINE SnapshotFlow::launchVssRequesterDoSnapshot(void* context) {
    const char* columns = ORV_LOG_COLUMNS();
    DoSnapshotContext* doSnapshot = static_cast<DoSnapshotContext*>(context);
    i32 result = 0;
    try {
        result = doSnapshot->requester->DoSnapshot(doSnapshot->args);
    } catch (const std::exception& e) {
        LOG(LogError) << "launchVssRequesterDoSnapshot failed due to : " << e.what() << std::endl;
        return static_cast<ThreadResult>(kRequesterThrew);
    }
    s_doSnapshotResult = result;
    if (result == 0)
        return 0;
    LOG(LogError) << "launchVssRequesterDoSnapshot failed with error : "
                  << " doSnapshotResult=" << static_cast<u32>(result) << " "
                  << " releasing  quiescedEvent." << std::endl;
    // The second snapshot runs after the flow has closed the event: nobody
    // waits for it any more, and a closed handle must never be set. An event
    // that was never created is not skipped: setting it fails, and that
    // failure is reported.
    if (s_eventsClosed) {
        LOG(LogInfo) << "quiescedEvent already closed; nobody waits for it" << std::endl;
        return static_cast<ThreadResult>(result);
    }
    setEventOrLog(s_quiescedEvent, columns);
    return static_cast<ThreadResult>(result);
}
