#pragma once
// Starting the provider's Windows service and waiting until it runs.
#include "AgentCommon/IServiceControlManager.h"

#include <string>

class ServiceUtils {
public:
    // Starts the service when it is stopped (or stopping) and waits, as far as
    // the service's own wait hints allow, until it runs. Returns the platform
    // error code of the first call that failed (1060: no such service), or 0;
    // a service that does not come up without any call failing is reported
    // in the log and still gives 0. Windows only.
    [[nodiscard]] static u32 startService(std::string serviceName);

    // The same sequence over the given manager and clock.
    [[nodiscard]] static u32 startService(const std::string& serviceName, IServiceControlManager& manager,
                                          IServiceClock& clock);
};
