#pragma once
// The boot-status policy around the snapshot. A machine brought back to the
// checkpoint taken here boots as if it had failed at that moment; with all
// failures ignored it boots normally instead of stopping in Windows Error
// Recovery. The relaxed policy is for the snapshot's time only: a RunOnce
// entry carrying the command that restores it is registered first and
// removed after the policy was restored, so that the next logon restores it
// also when the agent dies in between. Windows only.
#include "Types.h"
#include "VssRequester/RegistryKey.h"

#include <optional>

class WindowsErrorRecoveryDisabler {
public:
    // Relaxes the current boot entry's policy, after registering RunOnce.
    // False, with the policy unchanged, when the registration failed.
    static bool disable();
    // Restores the default boot entry's policy, then removes RunOnce. False,
    // with RunOnce left in place, when the command could not be run.
    static bool enable();

    static constexpr const char* kDisableCommand =
        "bcdedit /set {current} bootstatuspolicy ignoreallfailures";
    static constexpr const char* kEnableCommand =
        "bcdedit /set {default} bootstatuspolicy displayallfailures";
    static constexpr const wchar_t* kRunOnceKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
    static constexpr const char* kRunOnceValueName = "OrvelVssAgent";

private:
    // The RunOnce key for reading and writing; an invalid key when it cannot
    // be opened (logged).
    static RegistryKey openKey();
    [[nodiscard]] static bool registerRunOnce();
    [[nodiscard]] static bool unregisterRunOnce();
    static void flushAndClose(RegistryKey& key, const char* methodColumns);
    // Runs the command through the command interpreter. Only an interpreter
    // that could not be started is a failure: bcdedit's own exit status is
    // not looked at here; it goes into `result` for the run record.
    [[nodiscard]] static bool execueCommandLine(const char* command, std::optional<i64>& result);
};

// Disables Windows Error Recovery for its lifetime on systems with boot
// configuration data (major version 6 and later); on older ones it does
// nothing. The results of disable and enable are logged, never acted on: the
// snapshot goes ahead either way.
class WindowsErrorRecoveryGuard {
public:
    // Acts as on a system of that major version (osMajorVersion for the
    // running one).
    explicit WindowsErrorRecoveryGuard(u32 osMajorVersion);
    ~WindowsErrorRecoveryGuard();
    WindowsErrorRecoveryGuard(const WindowsErrorRecoveryGuard&) = delete;
    WindowsErrorRecoveryGuard& operator=(const WindowsErrorRecoveryGuard&) = delete;

    bool active() const { return m_active; }

    // GetVersionExW's major version; 0 when it cannot be read, which makes
    // the guard do nothing rather than change what it might not restore.
    static u32 osMajorVersion();

private:
    bool m_active;
};
