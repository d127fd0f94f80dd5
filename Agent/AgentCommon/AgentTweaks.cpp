#include "AgentCommon/AgentTweaks.h"

#include "AgentCommon/RunRecord.h"
#include "Tweaks.h"

namespace {
const char* const kQuiescedWait = "t_requesterQuiescedEventWaitTimeoutMsec";
const char* const kThawStartWait = "t_requesterEventWaitForThawStartTimeoutMsec";
const char* const kReadWait = "t_requesterEventWaitForSharedMemoryReadTimeoutMsec";
const char* const kWaitAsync = "t_WaitAsyncTimeoutMsec";
} // namespace

void AgentTweaks::registerDefaults() {
    static const char* const kDefaults[][2] = {
        {"t_qlogMaxFiles", "3"},
        {"t_FileLoggerCompressOnRotate", "1"},
        {"t_FileLoggerEnabled", "1"},
        // Registered for the runner's side of the handshake; the agent does not read them.
        {"t_runnerEventFreezeCompleteTimeoutMsec", "75000"},
        {"t_runnerEventThawCompleteTimeoutMsec", "15000"},
        {kQuiescedWait, "72000"},
        {kThawStartWait, "9500"},
        {kReadWait, "80000"},
        {kWaitAsync, "62000"},
    };
    Tweaks* tweaks = Tweaks::instance();
    for (const auto& entry : kDefaults)
        tweaks->setDefaultValIfNotSet(entry[0], entry[1]);
}

bool AgentTweaks::memShieldEnabled() {
    return Tweaks::instance()->intVal("t_enableMemshield", 0) != 0;
}

bool AgentTweaks::simulatedRequester() {
    return Tweaks::instance()->intVal("t_requesterSimulativeVss", 0) != 0;
}

i32 AgentTweaks::logMemoryLimitMb() {
    return Tweaks::instance()->intVal("t_qlogMaxFiles");
}

i32 AgentTweaks::quiescedEventWaitTimeoutMsec() {
    return Tweaks::instance()->intVal(kQuiescedWait);
}

i32 AgentTweaks::runnerThawStartTimeoutMsec() {
    return Tweaks::instance()->intVal(kThawStartWait);
}

i32 AgentTweaks::sharedMemoryReadTimeoutMsec() {
    return Tweaks::instance()->intVal(kReadWait);
}

u32 AgentTweaks::simulatorThawWaitMsec() {
    return Tweaks::instance()->uintVal(kThawStartWait);
}

u32 AgentTweaks::waitAsyncTimeoutMsec() {
    return Tweaks::instance()->uintVal(kWaitAsync);
}

u32 AgentTweaks::runRecordMaxBytes() {
    return Tweaks::instance()->uintVal("t_runRecordMaxBytes", kDefaultRunRecordMaxBytes);
}

bool AgentTweaks::eventLogEnabled() {
    return Tweaks::instance()->boolVal("t_eventLogEnabled", true);
}

void AgentTweaks::checkForRun(bool externallyInitiated, bool simulatedRequester) {
    // What was read goes into the record as its reader takes it.
    RunRecordSettings& settings = RunRecord::current().settings;
    settings.quiescedWaitMs = quiescedEventWaitTimeoutMsec();
    if (externallyInitiated)
        settings.thawStartWaitMs = runnerThawStartTimeoutMsec();
    if (simulatedRequester)
        settings.thawStartWaitMs = simulatorThawWaitMsec();
    else
        settings.waitAsyncMs = waitAsyncTimeoutMsec();
    settings.readWaitMs = sharedMemoryReadTimeoutMsec();
}
