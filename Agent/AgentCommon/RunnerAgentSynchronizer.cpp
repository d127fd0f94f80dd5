#include "AgentCommon/RunnerAgentSynchronizer.h"

#include "AgentCommon/NullDaclSecurityAttributes.h"
#include "AgentCommon/SetEventOrLog.h"
#include "Log.h"
#include "windows/WinHandle.h"

#include <deque>

namespace {
// Signalled events stay open until the process ends: closing the last handle
// would destroy the event, and its signal with it, before a runner that opens
// it late has seen it. Never destroyed, so exit handlers do not close them
// either.
std::deque<WinHandle>& keptEvents() {
    static std::deque<WinHandle>* kept = new std::deque<WinHandle>();
    return *kept;
}
} // namespace

bool RunnerAgentSynchronizer::waitForSignal(const std::string& eventName, u32 timeoutMs) {
    WinHandle event(NullDaclSecurityAttributes::createEvent(eventName.c_str()));
    ResetEvent(event.get());
    LOG(LogInfo) << "Waiting for event "
                 << " eventNameStr=" << eventName << " "
                 << "with timeout of :" << timeoutMs << "ms" << std::endl;
    if (WaitForSingleObject(event.get(), timeoutMs) == WAIT_TIMEOUT) {
        LOG(LogInfo) << "event"
                     << " eventHndl=" << event.get() << " "
                     << "was timed out." << std::endl;
        return false;
    }
    return true;
}

void RunnerAgentSynchronizer::signal(const std::string& eventName) {
    keptEvents().emplace_back(NullDaclSecurityAttributes::createEvent(eventName.c_str()));
    LOG(LogInfo) << "fire event "
                 << " eventNameStr=" << eventName << " " << std::endl;
    SET_EVENT_OR_LOG(keptEvents().back().get());
}
