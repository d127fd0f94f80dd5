#include "VssRequester/SnapshotFlow.h"

#include "AgentCommon/AgentTweaks.h"
#include "AgentCommon/IInterProcessCommunicationHandler.h"
#include "AgentCommon/NullDaclSecurityAttributes.h"
#include "AgentCommon/RunRecord.h"
#include "AgentCommon/RunRecordFile.h"
#include "AgentCommon/SetEventOrLog.h"
#include "AgentCommon/StatusReaderWriter.h"
#include "Log.h"
#include "VssRequester/ISnapshotFlowListener.h"
#include "VssRequester/IVssRequester.h"
#include "VssRequester/LastAliveStampGuard.h"
#include "VssRequester/WindowsErrorRecoveryGuard.h"
#include "windows/WinHandle.h"

#include <exception>
#include <optional>

WinHandle SnapshotFlow::s_quiescedEvent;
WinHandle SnapshotFlow::s_thawEvent;
bool SnapshotFlow::s_eventsClosed = false;
i32 SnapshotFlow::s_doSnapshotResult = 0;
i64 SnapshotFlow::s_thawSetTicks = 0;

namespace {
const char* const kMutexName = "Global\\OrvelVssMutex";
const char* const kQuiescedEventName = "Global\\OrvelVssQuiescedEvent";
const char* const kThawEventName = "Global\\OrvelVssThawEvent";

// An exception of no standard type would end the process from a worker
// thread, with the provider possibly holding the writers; it is reported like
// a standard one instead. On the main thread (the second snapshot) it reaches
// the entry point's last-resort handler.
DWORD WINAPI doSnapshotThread(LPVOID context) {
    try {
        return static_cast<DWORD>(SnapshotFlow::launchVssRequesterDoSnapshot(
            static_cast<SnapshotFlow::DoSnapshotContext*>(context)));
    } catch (...) {
        LOG(LogError) << "launchVssRequesterDoSnapshot failed due to : unknown exception" << std::endl;
        return static_cast<DWORD>(SnapshotFlow::kRequesterThrew);
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

void writeStatus(StatusReaderWriter* statusReaderWriter, i32 status) {
    statusReaderWriter->handler()->write(status);
    RunRecord::current().status = status;
}

void releaseMutex(WinHandle& mutex) {
    ReleaseMutex(mutex.get());
    mutex.reset();
}
} // namespace

i32 SnapshotFlow::execute(ISnapshotFlowListener* listener, IVssRequester* requester,
                          StatusReaderWriter* statusReaderWriter) {
    // Every record of the flow carries this label, whichever step makes it.
    const char* columns = ORV_LOG_COLUMNS();
    WinHandle mutex = takeMutexAndEvents(columns);

    i32 res = listener->notifySnapshotPrepare();
    if (res != 0) {
        LOG(LogError) << "notifyFreezePrepare failed with"
                      << " res=" << res << " " << std::endl;
        closeEventsAndReleaseMutex(mutex);
        listener->notifySnapshotCompleteFailure(res);
        return kWaitFailedOrPrepareRefused;
    }

    // Alive exactly while the requester may be inside the frozen window;
    // destroyed in reverse order, so the stamp is back before the boot policy.
    std::optional<WindowsErrorRecoveryGuard> errorRecoveryGuard;
    errorRecoveryGuard.emplace();
    std::optional<LastAliveStampGuard> lastAliveStampGuard;
    lastAliveStampGuard.emplace();

    DoSnapshotContext context = {requester, &m_argsRequester};
    LOG(LogInfo) << "Invoking requester" << std::endl;
    WinHandle worker(CreateThread(nullptr, 0, doSnapshotThread, &context, 0, nullptr));
    if (!worker.valid()) {
        DWORD lastError = GetLastError();
        LOG(LogError) << "CreateThread failed. Last error: " << lastError << std::endl;
        closeEventsAndReleaseMutex(mutex);
        listener->notifySnapshotCompleteFailure(1);
        lastAliveStampGuard.reset();
        errorRecoveryGuard.reset();
        return kNoWorkerThread;
    }

    const i32 status = waitForFreezeAndThaw(listener, statusReaderWriter, columns);

    // Both events stay open until the worker has ended: a DoSnapshot that
    // fails after the wait above still sets the quiesced event and must find
    // it open, and a provider that opens the thaw event only after reporting
    // the freeze must still find the thaw set on it (closing the last handle
    // would destroy the event and its signal with it).
    LOG(LogInfo) << "Waiting for requester doSnapshot thread to terminate" << std::endl;
    WaitForSingleObject(worker.get(), INFINITE);
    closeEvents();

    lastAliveStampGuard.reset();
    errorRecoveryGuard.reset();

    LOG(LogInfo) << "Releasing mutex" << std::endl;
    releaseMutex(mutex);

    reportFirstSession(worker, statusReaderWriter, columns);
    LOG(LogInfo) << "creating second snapshot to take writers out of \"Timed out\" state" << std::endl;
    RunRecord::current().secondSnapshotResult = launchVssRequesterDoSnapshot(&context);
    LOG(LogInfo) << "second snapshot completed" << std::endl;

    if (status == 0)
        listener->notifySnapshotCompleteSuccess();
    return status;
}

WinHandle SnapshotFlow::takeMutexAndEvents(const char* columns) {
    NullDaclSecurityAttributes security;
    LOG_AT(LogInfo, columns) << "Creating mutex" << std::endl;
    WinHandle mutex(CreateMutexA(security.get(), FALSE, kMutexName));
    LOG_AT(LogInfo, columns) << "Waiting for mutex" << std::endl;
    WaitForSingleObject(mutex.get(), INFINITE);

    LOG_AT(LogInfo, columns) << "Creating events" << std::endl;
    s_eventsClosed = false;
    s_quiescedEvent.reset(CreateEventA(security.get(), FALSE, FALSE, kQuiescedEventName));
    s_thawEvent.reset(CreateEventA(security.get(), FALSE, FALSE, kThawEventName));
    // A provider may have created them first, and a signal left from an
    // earlier run must not count for this one.
    ResetEvent(s_quiescedEvent.get());
    ResetEvent(s_thawEvent.get());
    LOG_AT(LogInfo, columns) << "Events: " << s_quiescedEvent.get() << ", " << s_thawEvent.get() << std::endl;
    return mutex;
}

void SnapshotFlow::closeEventsAndReleaseMutex(WinHandle& mutex) {
    closeEvents();
    releaseMutex(mutex);
}

i32 SnapshotFlow::waitForFreezeAndThaw(ISnapshotFlowListener* listener,
                                       StatusReaderWriter* statusReaderWriter, const char* columns) {
    i32 timeout = AgentTweaks::quiescedEventWaitTimeoutMsec();
    LOG_AT(LogInfo, columns) << "Waiting for event..."
                             << " s_quiescedEvent=" << s_quiescedEvent.get() << " "
                             << "with timeout of :" << timeout << "ms" << std::endl;
    DeferredLogWrites deferredLogWrites;
    DWORD waitResult = WaitForSingleObject(s_quiescedEvent.get(), static_cast<DWORD>(timeout));
    const i64 quiescedTicks = RunRecordFile::ticksNow();
    i32 status = 0;
    if (waitResult == WAIT_ABANDONED || waitResult == WAIT_TIMEOUT || waitResult == WAIT_FAILED) {
        const char* name = waitResult == WAIT_ABANDONED ? "WAIT_ABANDONED"
                           : waitResult == WAIT_TIMEOUT ? "WAIT_TIMEOUT"
                                                        : "WAIT_FAILED";
        LOG_AT(LogError, columns) << "::WaitForSingleObject(quiescedEvent, " << timeout << ") returned "
                                  << name << std::endl;
        listener->notifySnapshotCompleteFailure(static_cast<i32>(waitResult));
        // A provider that froze late must not be left holding the writers.
        if (waitResult == WAIT_TIMEOUT)
            setEventOrLog(s_thawEvent.get(), columns);
        status = waitResult == WAIT_ABANDONED ? kWaitAbandoned
                 : waitResult == WAIT_TIMEOUT ? kWaitTimedOut
                                              : kWaitFailedOrPrepareRefused;
    }
    writeStatus(statusReaderWriter, status);
    const i64 statusWrittenTicks = RunRecordFile::ticksNow();

    if (status == 0) {
        signalVssIsFrozenWaitForThaw(listener);
        RunRecord::current().quiescedTicks = quiescedTicks;
        RunRecord::current().statusWrittenTicks = statusWrittenTicks;
        RunRecord::current().thawSetTicks = s_thawSetTicks;
    }
    return status;
}

void SnapshotFlow::reportFirstSession(const WinHandle& worker, StatusReaderWriter* statusReaderWriter,
                                      const char* columns) {
    LOG_AT(LogInfo, columns) << "doSnapshotResult :" << static_cast<u32>(s_doSnapshotResult) << std::endl;
    writeStatus(statusReaderWriter, s_doSnapshotResult);
    // The worker's own result: also -1008 when DoSnapshot threw, which the
    // section does not show.
    DWORD workerResult = 0;
    RunRecord::current().requesterResult =
        GetExitCodeThread(worker.get(), &workerResult) ? static_cast<i32>(workerResult) : s_doSnapshotResult;
    RunRecord::current().firstSessionDone = true;
}

void SnapshotFlow::closeEvents() {
    s_thawEvent.reset();
    s_quiescedEvent.reset();
    s_eventsClosed = true;
}

void SnapshotFlow::signalVssIsFrozenWaitForThaw(ISnapshotFlowListener* listener) {
    LOG(LogInfo) << "Now quiesced" << std::endl;
    listener->notifySnapshotQuiesceSuccess();
    LOG(LogInfo) << "Setting thaw event" << std::endl;
    SET_EVENT_OR_LOG(s_thawEvent.get());
    s_thawSetTicks = RunRecordFile::ticksNow();
    LOG(LogInfo) << "On thaw." << std::endl;
    listener->notifySnapshotThawSuccess();
}

i32 SnapshotFlow::launchVssRequesterDoSnapshot(DoSnapshotContext* context) {
    i32 result = 0;
    try {
        result = context->requester->DoSnapshot(context->args);
    } catch (const std::exception& e) {
        LOG(LogError) << "launchVssRequesterDoSnapshot failed due to : " << e.what() << std::endl;
        return kRequesterThrew;
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
        return result;
    }
    SET_EVENT_OR_LOG(s_quiescedEvent.get());
    return result;
}
