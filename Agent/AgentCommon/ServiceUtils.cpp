#include "AgentCommon/ServiceUtils.h"
#include "windows/UniqueHandle.h"

#include <windows.h>

#include <utility>

namespace {

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
    u32 openManager() override {
        SC_HANDLE handle = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        if (handle == NULL)
            return GetLastError();
        m_manager.reset(handle);
        return 0;
    }

    u32 openService(const std::string& serviceName) override {
        SC_HANDLE handle = OpenServiceA(m_manager.get(), serviceName.c_str(), SERVICE_ALL_ACCESS);
        if (handle == NULL)
            return GetLastError();
        m_service.reset(handle);
        return 0;
    }

    u32 queryStatus(ServiceStatus& status) override {
        SERVICE_STATUS_PROCESS record = {};
        DWORD bytesNeeded = 0;
        if (!QueryServiceStatusEx(m_service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&record),
                                  sizeof(record), &bytesNeeded))
            return GetLastError();
        status.currentState = record.dwCurrentState;
        status.win32ExitCode = record.dwWin32ExitCode;
        status.checkPoint = record.dwCheckPoint;
        status.waitHint = record.dwWaitHint;
        return 0;
    }

    u32 startService() override { return StartServiceW(m_service.get(), 0, NULL) ? 0 : GetLastError(); }

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

} // namespace

u32 ServiceUtils::startService(std::string serviceName) {
    WindowsServiceControlManager manager;
    WindowsServiceClock clock;
    return startService(std::move(serviceName), manager, clock);
}
