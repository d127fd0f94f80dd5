#include "VssRequester/WindowsSnapshotFlowPlatform.h"

#include "AgentCommon/RunRecordFile.h"

ISnapshotFlowPlatform::Handle WindowsSnapshotFlowPlatform::createMutex(const char* name) {
    return CreateMutexA(m_security.get(), FALSE, name);
}

ISnapshotFlowPlatform::Handle WindowsSnapshotFlowPlatform::createEvent(const char* name) {
    return CreateEventA(m_security.get(), FALSE, FALSE, name);
}

void WindowsSnapshotFlowPlatform::resetEvent(Handle event) {
    ResetEvent(event);
}

bool WindowsSnapshotFlowPlatform::setEvent(Handle event) {
    return SetEvent(event) != FALSE;
}

void WindowsSnapshotFlowPlatform::releaseMutex(Handle mutex) {
    ReleaseMutex(mutex);
}

void WindowsSnapshotFlowPlatform::closeHandle(Handle handle) {
    CloseHandle(handle);
}

u32 WindowsSnapshotFlowPlatform::lastError() {
    return GetLastError();
}

ISnapshotFlowPlatform::Handle WindowsSnapshotFlowPlatform::createThread(ThreadRoutine routine,
                                                                        void* context) {
    return CreateThread(nullptr, 0, routine, context, 0, nullptr);
}

u32 WindowsSnapshotFlowPlatform::wait(Handle handle, u32 timeoutMs) {
    return WaitForSingleObject(handle, timeoutMs);
}

bool WindowsSnapshotFlowPlatform::threadExitCode(Handle thread, u32& exitCode) {
    DWORD code = 0;
    if (!GetExitCodeThread(thread, &code))
        return false;
    exitCode = code;
    return true;
}

u32 WindowsSnapshotFlowPlatform::osMajorVersion() {
    return WindowsErrorRecoveryGuard::osMajorVersion();
}

i64 WindowsSnapshotFlowPlatform::ticksNow() {
    return RunRecordFile::ticksNow();
}

void WindowsSnapshotFlowPlatform::startErrorRecoveryGuard(u32 osMajorVersion) {
    m_errorRecoveryGuard.emplace(osMajorVersion);
}

void WindowsSnapshotFlowPlatform::startLastAliveStampGuard() {
    m_lastAliveStampGuard.emplace();
}

void WindowsSnapshotFlowPlatform::endLastAliveStampGuard() {
    m_lastAliveStampGuard.reset();
}

void WindowsSnapshotFlowPlatform::endErrorRecoveryGuard() {
    m_errorRecoveryGuard.reset();
}
