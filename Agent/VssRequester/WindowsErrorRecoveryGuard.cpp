#include "VssRequester/WindowsErrorRecoveryGuard.h"

#include "AgentCommon/PlatformErrorLog.h"
#include "AgentCommon/RunRecord.h"
#include "Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
const u32 kFirstVersionWithBootConfiguration = 6;
} // namespace

bool WindowsErrorRecoveryDisabler::disable() {
    LOG(LogInfo) << "Registering RunOnce..." << std::endl;
    const bool registered = registerRunOnce();
    RunRecord::current().runOnceRegistered = registered;
    if (!registered)
        return false;
    LOG(LogInfo) << "Disabling Windows Error Recovery..." << std::endl;
    return execueCommandLine(kDisableCommand, RunRecord::current().bcdeditDisable);
}

bool WindowsErrorRecoveryDisabler::enable() {
    LOG(LogInfo) << "Enabling Windows Error Recovery..." << std::endl;
    if (!execueCommandLine(kEnableCommand, RunRecord::current().bcdeditEnable))
        return false;
    LOG(LogInfo) << "Unregistering RunOnce..." << std::endl;
    const bool removed = unregisterRunOnce();
    RunRecord::current().runOnceRemoved = removed;
    return removed;
}

RegistryKey WindowsErrorRecoveryDisabler::openKey() {
    return RegistryKey::openMachineKey(kRunOnceKey, ORV_LOG_COLUMNS());
}

// The value is written or deleted by then: a failing flush or close is only
// reported, under the caller's label.
void WindowsErrorRecoveryDisabler::flushAndClose(RegistryKey& key, const char* methodColumns) {
    LONG result = RegFlushKey(key.get());
    if (result != ERROR_SUCCESS)
        logPlatformError(methodColumns, result, "RegFlushKey");
    result = key.close();
    if (result != ERROR_SUCCESS)
        logPlatformError(methodColumns, result, "RegCloseKey");
}

bool WindowsErrorRecoveryDisabler::registerRunOnce() {
    RegistryKey key = openKey();
    if (!key.valid())
        return false;
    // With its terminating zero, as REG_SZ data is stored.
    const DWORD size = static_cast<DWORD>(std::strlen(kEnableCommand) + 1);
    LONG result = RegSetValueExA(key.get(), kRunOnceValueName, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(kEnableCommand), size);
    if (result != ERROR_SUCCESS) {
        LOG_PLATFORM_ERROR(result, "RegSetValueEx");
        return false;
    }
    flushAndClose(key, ORV_LOG_COLUMNS());
    return true;
}

bool WindowsErrorRecoveryDisabler::unregisterRunOnce() {
    RegistryKey key = openKey();
    if (!key.valid())
        return false;
    LONG result = RegDeleteValueA(key.get(), kRunOnceValueName);
    if (result != ERROR_SUCCESS) {
        LOG_PLATFORM_ERROR(result, "RegDeleteValue");
        return false;
    }
    flushAndClose(key, ORV_LOG_COLUMNS());
    return true;
}

bool WindowsErrorRecoveryDisabler::execueCommandLine(const char* command, std::optional<i64>& result) {
    const int status = std::system(command);
    result = status;
    if (status == -1) {
        int error = errno;
        LOG_PLATFORM_ERROR(error, "system");
        return false;
    }
    return true;
}

u32 WindowsErrorRecoveryGuard::osMajorVersion() {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    if (!GetVersionExW(&version))
        return 0;
    return version.dwMajorVersion;
}

WindowsErrorRecoveryGuard::WindowsErrorRecoveryGuard(u32 osMajorVersion)
    : m_active(osMajorVersion >= kFirstVersionWithBootConfiguration) {
    if (!m_active)
        return;
    LOG(LogInfo) << "Disabling Windows error recovery..." << std::endl;
    WindowsErrorRecoveryDisabler::disable();
}

WindowsErrorRecoveryGuard::~WindowsErrorRecoveryGuard() {
    if (!m_active)
        return;
    LOG(LogInfo) << "Enabling Windows error recovery..." << std::endl;
    WindowsErrorRecoveryDisabler::enable();
}
