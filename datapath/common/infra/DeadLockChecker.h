#pragma once
// The dead-lock checker: threads that must make progress hold a DlcKeepalive
// (a lease); one background thread wakes every t_deadlockCheckerIntervalSec
// and checks every lease. A lease held without progress for more than one
// interval is reported as stuck; past its time-out it is a dead-lock, which
// a listener may absorb, and otherwise the known threads are listed and the
// process ends.
//
// The owner drives its lease through setActive / setAlive / setTimeoutSec
// from its own thread; the checker reads them without a lock (atomics), so a
// check may see a value one update old, which delays a report by one cycle
// at most.
#include "Future.h"
#include "Mutex.h"
#include "RcStatus.h"
#include "Singleton.h"
#include "StlMemShiledContainer.h"
#include "ThreadWrapper.h"
#include "Types.h"

#include <atomic>
#include <set>
#include <string>

class DlcKeepalive;

class IDlcKeepaliveListener {
public:
    virtual ~IDlcKeepaliveListener() = default;
    // True: the dead-lock time-out grows by one interval at this check.
    virtual bool shouldExtendTimeout(DlcKeepalive* keepalive) = 0;
    virtual void onKeepaliveReleased(DlcKeepalive* keepalive) = 0;
    // True: the listener handled the dead-lock; the process goes on.
    virtual bool customTimeoutBehavior(const std::string& name) = 0;
};

class DlcKeepalive : public FutureObserver<RcStatus> {
public:
    // An empty name becomes "pid=" and the calling thread's id. Registers
    // with the checker, creating it and its thread on first use.
    // customBehaviour is kept for the owner's listener; nothing here reads it.
    DlcKeepalive(const std::string& name, IDlcKeepaliveListener* listener, u64 customBehaviour = 0);
    // Unregisters from the checker.
    ~DlcKeepalive() override;
    // Tells the listener, then destroys this keepalive (it was tracked).
    void onFutureSet(RcStatus value) override;

    void setActive(bool active) { m_active.store(active, std::memory_order_relaxed); }
    void setAlive() { m_alive.store(true, std::memory_order_relaxed); }
    void setTimeoutSec(u32 seconds) { m_timeoutSec.store(seconds, std::memory_order_relaxed); }
    bool active() const { return m_active.load(std::memory_order_relaxed); }
    u32 timeoutSec() const { return m_timeoutSec.load(std::memory_order_relaxed); }
    const std::string& name() const { return m_name; }

    // One check of the lease; the checker calls it under its mutex.
    void checkLease(u64 nowMs, u32 intervalSec);

    // Lists every thread of the thread table (no stack walk), or says that
    // listing is switched off by t_disableBtPrint.
    static void printThreadsBackTrace();

private:
    DlcKeepalive(const DlcKeepalive&) = delete;
    DlcKeepalive& operator=(const DlcKeepalive&) = delete;

    std::atomic<bool> m_active;
    std::atomic<bool> m_alive;
    u64 m_leaseStartMs; // the checker's alone
    std::string m_name;
    std::atomic<u32> m_timeoutSec;
    IDlcKeepaliveListener* m_listener; // not owned
    [[maybe_unused]] u64 m_customBehaviour;
};

class DeadLockCheckerManager : public Singleton<DeadLockCheckerManager>, public ThreadWrapper {
public:
    // Adding a present keepalive or removing an absent one ends the process.
    void registerChecker(DlcKeepalive* keepalive);
    void unregisterChecker(DlcKeepalive* keepalive);
    // Every interval (read afresh each cycle, at least one second): one size
    // record, then each lease checked in address order.
    void run() override;
    // One check cycle at the given time: what run() does after its sleep.
    void checkAll(u64 nowMs, u32 intervalSec);

    // Set when a dead-lock was declared with t_JexForceKillOnDeadlock on;
    // sticky, cleared only when the checker is created. The process ends
    // through the dead-lock assertion either way: the flag tells a crash
    // handler or a post-mortem that the end was forced, not a crash.
    static bool forceKillRequested() { return s_forceKill.load(); }
    static void requestForceKill() { s_forceKill.store(true); }

private:
    friend class Singleton<DeadLockCheckerManager>;
    DeadLockCheckerManager();

    static std::atomic<bool> s_forceKill;

    Mutex m_mutex;
    StlMemShiledContainer<std::set<DlcKeepalive*>> m_lockSet; // "DeadLockCheckers"
};

// The thread listing's per-thread records.
struct ThreadBacktracePrinter {
    static void print(i32 threadId, u64 threadData);
};
