#pragma once
// The platform's service control manager and clock behind
// ServiceUtils::startService. Windows only.
#include "AgentCommon/IServiceControlManager.h"
#include "windows/UniqueHandle.h"

#include <windows.h>

struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static SC_HANDLE empty() { return NULL; }
    static bool valid(SC_HANDLE handle) { return handle != NULL; }
    static void close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};
// Sole owner of a service control manager or service handle.
using ScHandle = UniqueHandle<ServiceHandleTraits>;

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
