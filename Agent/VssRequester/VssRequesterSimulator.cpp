#include "VssRequester/VssRequesterSimulator.h"

#include "AgentCommon/AgentObjectNames.h"
#include "AgentCommon/AgentTweaks.h"
#include "AgentCommon/SetEventOrLog.h"
#include "Log.h"
#include "windows/WinHandle.h"

i32 VssRequesterSimulator::DoSnapshot(ArgsRequester*) {
    // Only probed: without a flow holding the mutex nobody would answer the
    // handshake (the flow's second snapshot runs after the mutex is gone).
    WinHandle mutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, AgentObjectNames::kVssMutex));
    if (!mutex.valid())
        return 0;
    mutex.reset();
    // Read before the freeze it plays, so that the flow's frozen window does
    // not share the tweaks' lock with it.
    const u32 timeout = AgentTweaks::simulatorThawWaitMsec();

    WinHandle quiesced(CreateEventA(nullptr, FALSE, FALSE, AgentObjectNames::kQuiescedEvent));
    BOOL setEventRes = SET_EVENT_OR_LOG(quiesced.get());
    quiesced.reset();

    WinHandle thaw(CreateEventA(nullptr, FALSE, FALSE, AgentObjectNames::kThawEvent));
    if (WaitForSingleObject(thaw.get(), timeout) != WAIT_OBJECT_0) {
        DWORD lastError = GetLastError();
        LOG(LogError) << " setEventRes=" << (setEventRes ? 1 : 0) << " "
                      << " lastError=" << lastError << " " << std::endl;
    }
    return 0;
}
