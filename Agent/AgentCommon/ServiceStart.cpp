#include "AgentCommon/ServiceUtils.h"

#include "Log.h"

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

    // A service that has just stopped reports check point 0 and wait hint 0,
    // which would read as a time-out; so the state is looked at before the
    // clock.
    u32 startTick = clock.tickCount();
    u32 oldCheckPoint = status.checkPoint;
    while (status.currentState == ServiceStopPending) {
        clock.sleep(pollInterval(status.waitHint));
        error = manager.queryStatus(status);
        if (error != 0) {
            LOG(LogError) << kQueryFailed << static_cast<i32>(error) << std::endl;
            closeBoth(manager);
            return error;
        }
        if (status.currentState != ServiceStopPending)
            break;
        if (status.checkPoint > oldCheckPoint) {
            startTick = clock.tickCount();
            oldCheckPoint = status.checkPoint;
        } else if (clock.tickCount() - startTick > status.waitHint) {
            LOG(LogError) << "Timeout waiting for service to stop" << std::endl;
            closeBoth(manager);
            return 0;
        }
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

    u32 result = 0;
    startTick = clock.tickCount();
    oldCheckPoint = status.checkPoint;
    while (status.currentState == ServiceStartPending) {
        clock.sleep(pollInterval(status.waitHint));
        error = manager.queryStatus(status);
        if (error != 0) {
            // The status is the last one known; the records below show it.
            LOG(LogError) << kQueryFailed << static_cast<i32>(error) << std::endl;
            result = error;
            break;
        }
        if (status.currentState != ServiceStartPending)
            break;
        if (status.checkPoint > oldCheckPoint) {
            startTick = clock.tickCount();
            oldCheckPoint = status.checkPoint;
        } else if (clock.tickCount() - startTick > status.waitHint) {
            break;
        }
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
