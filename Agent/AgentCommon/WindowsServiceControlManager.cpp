#include "AgentCommon/WindowsServiceControlManager.h"

u32 WindowsServiceControlManager::openManager() {
    SC_HANDLE handle = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (handle == nullptr)
        return GetLastError();
    m_manager.reset(handle);
    return 0;
}

u32 WindowsServiceControlManager::openService(const std::string& serviceName) {
    SC_HANDLE handle = OpenServiceA(m_manager.get(), serviceName.c_str(), SERVICE_ALL_ACCESS);
    if (handle == nullptr)
        return GetLastError();
    m_service.reset(handle);
    return 0;
}

u32 WindowsServiceControlManager::queryStatus(ServiceStatus& status) {
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

u32 WindowsServiceControlManager::startService() {
    return StartServiceW(m_service.get(), 0, nullptr) ? 0 : GetLastError();
}
