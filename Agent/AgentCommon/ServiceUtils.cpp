#include "AgentCommon/ServiceUtils.h"

#include "Log.h"

#ifdef _WIN32
#include "AgentCommon/WindowsServiceControlManager.h"
#endif

namespace {

// About ten polls per wait hint; the bounds keep a service without a hint
// from being polled in a tight loop and one with a very long hint from being
// left unchecked for minutes.
u32 pollInterval(u32 waitHint) {
    u32 interval = waitHint / 10;
    if (interval < 1000)
        return 1000;
    if (interval > 10000)
        return 10000;
    return interval;
}

void closeBoth(IServiceControlManager& manager) {
    manager.closeService();
    manager.closeManager();
}

const char* const kQueryFailed = "QueryServiceStatusEx failed with error code ";

enum class Pending { Left, TimedOut, QueryFailed };

// Polls while the service stays in `pendingState`, at the pace its wait hint
// asks for: a check point that moves on restarts the clock, a wait hint
// passed without one is a time-out. The clock starts before the state is
// looked at, so a service that has just left the state (check point 0, wait
// hint 0) is never taken for one that timed out. Logs nothing: the records
// are the caller's.
Pending waitWhile(u32 pendingState, ServiceStatus& status, IServiceControlManager& manager,
                  IServiceClock& clock, u32& error) {
    u32 startTick = clock.tickCount();
    u32 oldCheckPoint = status.checkPoint;
    while (status.currentState == pendingState) {
        clock.sleep(pollInterval(status.waitHint));
        error = manager.queryStatus(status);
        if (error != 0)
            return Pending::QueryFailed;
        if (status.currentState != pendingState)
            break;
        if (status.checkPoint > oldCheckPoint) {
            startTick = clock.tickCount();
            oldCheckPoint = status.checkPoint;
        } else if (clock.tickCount() - startTick > status.waitHint) {
            return Pending::TimedOut;
        }
    }
    return Pending::Left;
}

} // namespace

// Error codes are logged signed, as the platform's tools print them; status
// fields unsigned. Elapsed time is a difference of tick counts taken modulo
// 2^32, so a tick count that wraps during the wait does not matter.
u32 ServiceUtils::startService(const std::string& serviceName, IServiceControlManager& manager,
                               IServiceClock& clock) {
    u32 error = manager.openManager();
    if (error != 0) {
        LOG(LogError) << "OpenSCManager failed with error code " << static_cast<i32>(error) << std::endl;
        return error;
    }
    error = manager.openService(serviceName);
    if (error != 0) {
        LOG(LogError) << "OpenService failed with error code " << static_cast<i32>(error) << std::endl;
        manager.closeManager();
        return error;
    }
    ServiceStatus status;
    error = manager.queryStatus(status);
    if (error != 0) {
        LOG(LogError) << kQueryFailed << static_cast<i32>(error) << std::endl;
        closeBoth(manager);
        return error;
    }
    // Start pending counts as running too: someone else is already starting it.
    if (status.currentState != ServiceStopped && status.currentState != ServiceStopPending) {
        LOG(LogInfo) << "Cannot start the service because it is already running" << std::endl;
        closeBoth(manager);
        return 0;
    }

    switch (waitWhile(ServiceStopPending, status, manager, clock, error)) {
    case Pending::QueryFailed:
        LOG(LogError) << kQueryFailed << static_cast<i32>(error) << std::endl;
        closeBoth(manager);
        return error;
    case Pending::TimedOut:
        LOG(LogError) << "Timeout waiting for service to stop" << std::endl;
        closeBoth(manager);
        return 0;
    case Pending::Left:
        break;
    }

    error = manager.startService();
    if (error != 0) {
        LOG(LogError) << "StartService failed with error code " << static_cast<i32>(error) << std::endl;
        closeBoth(manager);
        return error;
    }
    LOG(LogInfo) << "Service start pending..." << std::endl;
    error = manager.queryStatus(status);
    if (error != 0) {
        LOG(LogError) << kQueryFailed << static_cast<i32>(error) << std::endl;
        closeBoth(manager);
        return error;
    }

    // A start that times out or whose status cannot be read any more ends in
    // the records below, with the last status known.
    u32 result = 0;
    if (waitWhile(ServiceStartPending, status, manager, clock, error) == Pending::QueryFailed) {
        LOG(LogError) << kQueryFailed << static_cast<i32>(error) << std::endl;
        result = error;
    }

    if (status.currentState == ServiceRunning) {
        LOG(LogInfo) << "Service started successfully." << std::endl;
    } else {
        LOG(LogError) << "Service not started." << std::endl;
        LOG(LogError) << "Current State: " << status.currentState << std::endl;
        LOG(LogError) << "Exit Code: " << status.win32ExitCode << std::endl;
        LOG(LogError) << "Check Point: " << status.checkPoint << std::endl;
        LOG(LogError) << "Wait Hint: " << status.waitHint << std::endl;
    }
    closeBoth(manager);
    return result;
}

#ifdef _WIN32
u32 ServiceUtils::startService(std::string serviceName) {
    WindowsServiceControlManager manager;
    WindowsServiceClock clock;
    return startService(serviceName, manager, clock);
}
#endif
