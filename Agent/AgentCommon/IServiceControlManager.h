#pragma once
// The seams under ServiceUtils::startService: the service control manager and
// the clock. The start sequence itself is platform-free, so that its polling
// can be exercised without a service manager and without real waits.
#include "Types.h"

#include <string>

// The service states the start sequence tells apart.
enum ServiceState : u32 {
    ServiceStopped = 1,
    ServiceStartPending = 2,
    ServiceStopPending = 3,
    ServiceRunning = 4,
};

// The fields of the platform's process-status record that the sequence reads.
struct ServiceStatus {
    u32 currentState = 0;
    u32 win32ExitCode = 0;
    u32 checkPoint = 0;
    u32 waitHint = 0; // milliseconds
};

// One manager and at most one service at a time. Each operation returns 0 or
// the platform's error code of the call that failed.
class IServiceControlManager {
public:
    virtual ~IServiceControlManager() = default;
    [[nodiscard]] virtual u32 openManager() = 0;
    // Needs an open manager.
    [[nodiscard]] virtual u32 openService(const std::string& serviceName) = 0;
    // Leaves `status` untouched on failure, so the caller keeps the last
    // state it knew.
    [[nodiscard]] virtual u32 queryStatus(ServiceStatus& status) = 0;
    [[nodiscard]] virtual u32 startService() = 0;
    // Closing what is not open does nothing.
    virtual void closeService() = 0;
    virtual void closeManager() = 0;
};

class IServiceClock {
public:
    virtual ~IServiceClock() = default;
    // Milliseconds since some start; wraps around at 2^32.
    virtual u32 tickCount() = 0;
    virtual void sleep(u32 milliseconds) = 0;
};
