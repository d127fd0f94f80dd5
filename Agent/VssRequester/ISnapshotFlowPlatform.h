#pragma once
// What the snapshot flow asks of the operating system: the machine-wide
// mutex, the provider's two events, the requester's worker thread, the
// version and the clock, and the two crash-recovery guards. The flow itself
// is platform-free, so that each of its paths can be run against a scripted
// platform; WindowsSnapshotFlowPlatform is the real one.
#include "Types.h"

#if defined(_WIN32)
// A thread start routine's calling convention and result (DWORD).
#define ORV_THREAD_ROUTINE __stdcall
typedef unsigned long ThreadResult;
#else
#define ORV_THREAD_ROUTINE
typedef u32 ThreadResult;
#endif
typedef ThreadResult(ORV_THREAD_ROUTINE* ThreadRoutine)(void* context);

class ISnapshotFlowPlatform {
public:
    // A kernel object as the platform hands it out; null when there is none.
    typedef void* Handle;

    // What wait returns.
    static const u32 kWaitObject0 = 0;
    static const u32 kWaitAbandoned = 0x80;
    static const u32 kWaitTimeout = 0x102;
    static const u32 kWaitFailed = 0xFFFFFFFF;
    static const u32 kInfinite = 0xFFFFFFFF;

    virtual ~ISnapshotFlowPlatform() = default;

    // Named objects, open to every account (the provider's service account
    // and the runner open them too). The mutex is not owned at creation; the
    // event is auto-reset and not set, or the existing one when the provider
    // created it first. Null when the call failed.
    virtual Handle createMutex(const char* name) = 0;
    virtual Handle createEvent(const char* name) = 0;
    virtual void resetEvent(Handle event) = 0;
    // False when it failed; lastError then tells why.
    [[nodiscard]] virtual bool setEvent(Handle event) = 0;
    virtual void releaseMutex(Handle mutex) = 0;
    virtual void closeHandle(Handle handle) = 0;
    // The calling thread's error of its latest failing call.
    virtual u32 lastError() = 0;

    // Runs routine(context) on a new thread at once; null when the thread
    // could not be created.
    virtual Handle createThread(ThreadRoutine routine, void* context) = 0;
    // One of the kWait results.
    virtual u32 wait(Handle handle, u32 timeoutMs) = 0;
    // False when the thread's exit code cannot be read.
    [[nodiscard]] virtual bool threadExitCode(Handle thread, u32& exitCode) = 0;

    // The operating system's major version; 0 when unknown.
    virtual u32 osMajorVersion() = 0;
    // The run record's clock (RunRecordFile::ticksNow).
    virtual i64 ticksNow() = 0;

    // The crash-recovery guards, started in this order and ended in the
    // reverse one: WindowsErrorRecoveryGuard for that major version, then
    // LastAliveStampGuard.
    virtual void startErrorRecoveryGuard(u32 osMajorVersion) = 0;
    virtual void startLastAliveStampGuard() = 0;
    virtual void endLastAliveStampGuard() = 0;
    virtual void endErrorRecoveryGuard() = 0;
};

// Sole owner of one handle, closed through the platform that gave it. It
// keeps that platform also while it holds no handle, so that a call on a
// handle that was never obtained still reaches the platform (and fails
// there, visibly).
class PlatformHandle {
public:
    PlatformHandle() = default;
    PlatformHandle(ISnapshotFlowPlatform& platform, ISnapshotFlowPlatform::Handle value)
        : m_platform(&platform), m_value(value) {}
    ~PlatformHandle() { reset(); }
    PlatformHandle(const PlatformHandle&) = delete;
    PlatformHandle& operator=(const PlatformHandle&) = delete;
    PlatformHandle(PlatformHandle&& other) noexcept : m_platform(other.m_platform), m_value(other.m_value) {
        other.m_value = nullptr;
    }
    PlatformHandle& operator=(PlatformHandle&& other) noexcept {
        if (this != &other) {
            reset();
            m_platform = other.m_platform;
            m_value = other.m_value;
            other.m_value = nullptr;
        }
        return *this;
    }

    [[nodiscard]] ISnapshotFlowPlatform::Handle get() const { return m_value; }
    [[nodiscard]] bool valid() const { return m_value != nullptr; }
    // Null until a handle was first given to it.
    [[nodiscard]] ISnapshotFlowPlatform* platform() const { return m_platform; }
    void reset() {
        if (m_value != nullptr)
            m_platform->closeHandle(m_value);
        m_value = nullptr;
    }

private:
    ISnapshotFlowPlatform* m_platform = nullptr;
    ISnapshotFlowPlatform::Handle m_value = nullptr;
};
