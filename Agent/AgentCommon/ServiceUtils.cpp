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

// Closes what the start opened, the service before the manager, on every way
// out of it, and nothing that was not opened.
class OpenedHandles {
public:
    explicit OpenedHandles(IServiceControlManager& manager) : m_manager(manager) {}
    ~OpenedHandles() {
        if (m_service)
            m_manager.closeService();
        if (m_managerOpen)
            m_manager.closeManager();
    }
    OpenedHandles(const OpenedHandles&) = delete;
    OpenedHandles& operator=(const OpenedHandles&) = delete;

    u32 openManager() {
        u32 error = m_manager.openManager();
        m_managerOpen = error == 0;
        return error;
    }
    u32 openService(const std::string& name) {
        u32 error = m_manager.openService(name);
        m_service = error == 0;
        return error;
    }

private:
    IServiceControlManager& m_manager;
    bool m_managerOpen = false;
    bool m_service = false;
};

// The record of a failed call, under the caller's columns; returns its error.
u32 failed(const char* columns, const char* call, u32 error) {
    LOG_AT(LogError, columns) << call << " failed with error code " << static_cast<i32>(error) << std::endl;
    return error;
}

const char* const kQuery = "QueryServiceStatusEx";

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
    const char* const columns = ORV_LOG_COLUMNS();
    OpenedHandles handles(manager);
    u32 error = handles.openManager();
    if (error != 0)
        return failed(columns, "OpenSCManager", error);
    error = handles.openService(serviceName);
    if (error != 0)
        return failed(columns, "OpenService", error);
    ServiceStatus status;
    error = manager.queryStatus(status);
    if (error != 0)
        return failed(columns, kQuery, error);
    // Start pending counts as running too: someone else is already starting it.
    if (status.currentState != ServiceStopped && status.currentState != ServiceStopPending) {
        LOG(LogInfo) << "Cannot start the service because it is already running" << std::endl;
        return 0;
    }

    switch (waitWhile(ServiceStopPending, status, manager, clock, error)) {
    case Pending::QueryFailed:
        return failed(columns, kQuery, error);
    case Pending::TimedOut:
        LOG(LogError) << "Timeout waiting for service to stop" << std::endl;
        return 0;
    case Pending::Left:
        break;
    }

    error = manager.startService();
    if (error != 0)
        return failed(columns, "StartService", error);
    LOG(LogInfo) << "Service start pending..." << std::endl;
    error = manager.queryStatus(status);
    if (error != 0)
        return failed(columns, kQuery, error);

    // A start that times out or whose status cannot be read any more ends in
    // the records below, with the last status known.
    u32 result = 0;
    if (waitWhile(ServiceStartPending, status, manager, clock, error) == Pending::QueryFailed)
        result = failed(columns, kQuery, error);
    if (status.currentState == ServiceRunning) {
        LOG(LogInfo) << "Service started successfully." << std::endl;
        return result;
    }
    LOG(LogError) << "Service not started." << std::endl;
    LOG(LogError) << "Current State: " << status.currentState << std::endl;
    LOG(LogError) << "Exit Code: " << status.win32ExitCode << std::endl;
    LOG(LogError) << "Check Point: " << status.checkPoint << std::endl;
    LOG(LogError) << "Wait Hint: " << status.waitHint << std::endl;
    return result;
}

#ifdef _WIN32
u32 ServiceUtils::startService(std::string serviceName) {
    WindowsServiceControlManager manager;
    WindowsServiceClock clock;
    return startService(serviceName, manager, clock);
}
#endif
