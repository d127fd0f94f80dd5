#pragma once
// The platform's service control manager and clock behind
// ServiceUtils::startService. Windows only.
#include "AgentCommon/IServiceControlManager.h"
#include "windows/UniqueHandle.h"

#include <windows.h>

// Sole owner of a service control manager or service handle.
using ScHandle = UniqueHandle<NullableHandleTraits<SC_HANDLE, &CloseServiceHandle>>;

class WindowsServiceControlManager : public IServiceControlManager {
public:
    u32 openManager() override;
    u32 openService(const std::string& serviceName) override;
    u32 queryStatus(ServiceStatus& status) override;
    u32 startService() override;
    void closeService() override { m_service.reset(); }
    void closeManager() override { m_manager.reset(); }

private:
    // Declared in this order so that an early destruction, too, closes the
    // service before its manager.
    ScHandle m_manager;
    ScHandle m_service;
};

class WindowsServiceClock : public IServiceClock {
public:
    u32 tickCount() override { return GetTickCount(); }
    void sleep(u32 milliseconds) override { Sleep(milliseconds); }
};
