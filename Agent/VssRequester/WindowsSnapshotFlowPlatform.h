#pragma once
// The snapshot flow's platform on Windows: kernel objects with the null-DACL
// security attributes, a CreateThread worker, GetVersionExW's major version,
// the performance counter, and the two crash-recovery guards. Windows only.
#include "AgentCommon/NullDaclSecurityAttributes.h"
#include "VssRequester/ISnapshotFlowPlatform.h"
#include "VssRequester/LastAliveStampGuard.h"
#include "VssRequester/WindowsErrorRecoveryGuard.h"

#include <optional>

class WindowsSnapshotFlowPlatform : public ISnapshotFlowPlatform {
public:
    WindowsSnapshotFlowPlatform() = default;
    WindowsSnapshotFlowPlatform(const WindowsSnapshotFlowPlatform&) = delete;
    WindowsSnapshotFlowPlatform& operator=(const WindowsSnapshotFlowPlatform&) = delete;

    Handle createMutex(const char* name) override;
    Handle createEvent(const char* name) override;
    void resetEvent(Handle event) override;
    bool setEvent(Handle event) override;
    void releaseMutex(Handle mutex) override;
    void closeHandle(Handle handle) override;
    u32 lastError() override;
    Handle createThread(ThreadRoutine routine, void* context) override;
    u32 wait(Handle handle, u32 timeoutMs) override;
    bool threadExitCode(Handle thread, u32& exitCode) override;
    u32 osMajorVersion() override;
    i64 ticksNow() override;
    void startErrorRecoveryGuard(u32 osMajorVersion) override;
    void startLastAliveStampGuard() override;
    void endLastAliveStampGuard() override;
    void endErrorRecoveryGuard() override;

private:
    NullDaclSecurityAttributes m_security;
    std::optional<WindowsErrorRecoveryGuard> m_errorRecoveryGuard;
    std::optional<LastAliveStampGuard> m_lastAliveStampGuard;
};
