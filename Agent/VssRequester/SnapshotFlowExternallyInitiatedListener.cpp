#include "VssRequester/SnapshotFlowExternallyInitiatedListener.h"

#include "AgentCommon/AgentObjectNames.h"
#include "AgentCommon/AgentTweaks.h"
#include "AgentCommon/NullDaclSecurityAttributes.h"
#include "AgentCommon/RunRecord.h"
#include "AgentCommon/RunnerAgentSynchronizer.h"
#include "AgentCommon/SetEventOrLog.h"
#include "Log.h"

i32 SnapshotFlowExternallyInitiatedListener::notifySnapshotPrepare() {
    LOG(LogInfo) << "registering events" << std::endl;
    // Not reset: a thaw-start the runner gave before the agent waits counts.
    m_eventFreezeComplete.reset(
        NullDaclSecurityAttributes::createEvent(AgentObjectNames::kRunnerFreezeCompleteEvent));
    m_eventThawStart.reset(NullDaclSecurityAttributes::createEvent(AgentObjectNames::kRunnerThawStartEvent));
    m_eventThawComplete.reset(
        NullDaclSecurityAttributes::createEvent(AgentObjectNames::kRunnerThawCompleteEvent));
    // Read now rather than once the writers are frozen, where only the
    // handshake itself should run.
    m_thawStartTimeout = AgentTweaks::runnerThawStartTimeoutMsec();
    return 0;
}

void SnapshotFlowExternallyInitiatedListener::notifySnapshotQuiesceSuccess() {
    LOG(LogInfo) << "receive freeze success, setting freeze event" << std::endl;
    SET_EVENT_OR_LOG(m_eventFreezeComplete.get());

    const i32 timeout = m_thawStartTimeout;
    LOG(LogInfo) << "Waiting for event..."
                 << " m_eventThawStart=" << m_eventThawStart.get() << " "
                 << "with timeout of :" << timeout << "ms" << std::endl;
    // Bounded: whatever the runner does, the writers thaw after the time-out.
    DWORD waitResult = WaitForSingleObject(m_eventThawStart.get(), static_cast<DWORD>(timeout));
    RunRecord::current().thawStartWait = static_cast<u32>(waitResult);
    if (waitResult == WAIT_OBJECT_0)
        LOG(LogInfo) << "received event from runner to continue to thaw logic" << std::endl;
    else if (waitResult == WAIT_ABANDONED)
        LOG(LogError) << "::WaitForSingleObject(quiescedEvent," << timeout << ") returned WAIT_ABANDONED"
                      << std::endl;
    else if (waitResult == WAIT_TIMEOUT)
        LOG(LogError) << "::WaitForSingleObject(quiescedEvent, " << timeout << ") returned WAIT_TIMEOUT"
                      << std::endl;
    else if (waitResult == WAIT_FAILED)
        LOG(LogError) << "::WaitForSingleObject(quiescedEvent, " << timeout << ") returned WAIT_FAILED"
                      << std::endl;
    LOG(LogInfo) << "continuing to thaw" << std::endl;
}

void SnapshotFlowExternallyInitiatedListener::notifySnapshotCompleteSuccess() {
    LOG(LogInfo) << "notifySnapshotCompleteSuccess" << std::endl;
    SET_EVENT_OR_LOG(m_eventThawComplete.get());
}

void SnapshotFlowExternallyInitiatedListener::notifySnapshotCompleteFailure(i32 errNum) {
    LOG(LogInfo) << "notifySnapshotCompleteFailure"
                 << " errNum=" << errNum << " " << std::endl;
}
