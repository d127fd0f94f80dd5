#include "DeadLockChecker.h"

#include "DynamicTweaks.h"
#include "Log.h"
#include "MemWatcher.h"
#include "Os.h"
#include "Timer.h"
#include "TrackedNew.h"
#include "Tweaks.h"

#include <chrono>
#include <limits>
#include <sstream>
#include <thread>

std::atomic<bool> DeadLockCheckerManager::s_forceKill{false};

namespace {
std::string keepaliveName(const std::string& name) {
    if (!name.empty())
        return name;
    std::ostringstream text;
    text << "pid=" << Os::currentThreadId();
    return text.str();
}
} // namespace

DlcKeepalive::DlcKeepalive(const std::string& name, IDlcKeepaliveListener* listener, u64 customBehaviour)
    : m_active(true), m_alive(true), m_leaseStartMs(0), m_name(keepaliveName(name)),
      m_timeoutSec(DynamicTweaks::instance()->t_defaultDlcTimeoutSec.load()), m_listener(listener),
      m_customBehaviour(customBehaviour) {
    DeadLockCheckerManager::instance()->registerChecker(this);
}

DlcKeepalive::~DlcKeepalive() {
    DeadLockCheckerManager::instance()->unregisterChecker(this);
}

void DlcKeepalive::onFutureSet(RcStatus value) {
    (void)value;
    if (m_listener != nullptr)
        m_listener->onKeepaliveReleased(this);
    trackedDelete(this);
}

void DlcKeepalive::checkLease(u64 nowMs, u32 intervalSec) {
    if (!m_active.load(std::memory_order_relaxed) || m_alive.load(std::memory_order_relaxed)) {
        m_alive.store(false, std::memory_order_relaxed);
        m_leaseStartMs = nowMs;
        return;
    }
    u64 deltaSec = (nowMs - m_leaseStartMs) / 1000;
    if (deltaSec <= intervalSec)
        return;
    LOG(LogError) << m_name << " is stuck for " << deltaSec << " sec" << std::endl;

    u32 timeoutSec = m_timeoutSec.load(std::memory_order_relaxed);
    if (m_listener != nullptr && m_listener->shouldExtendTimeout(this) &&
        timeoutSec <= std::numeric_limits<u32>::max() - intervalSec) {
        LOG_FULL(LoggerNon, LogInfo, 0) << m_name << " increasing timeout by " << intervalSec << std::endl;
        timeoutSec += intervalSec;
        m_timeoutSec.store(timeoutSec, std::memory_order_relaxed);
    }
    if (timeoutSec >= deltaSec)
        return;

    LOG(LogControl) << m_name << " waited too long "
                    << " deltaSec=" << deltaSec << " "
                    << " m_timeoutSec=" << timeoutSec << " "
                    << " m_listener=" << static_cast<const void*>(m_listener) << " "
                    << " checking custom behavior" << std::endl;
    if (m_listener != nullptr && m_listener->customTimeoutBehavior(m_name)) {
        LOG(LogError) << m_name << " custom timeout behavior executed, rescheduling" << std::endl;
        return;
    }
    if (Tweaks::instance()->longVal("t_JexForceKillOnDeadlock", 1) != 0)
        DeadLockCheckerManager::requestForceKill();
    printThreadsBackTrace();
    ORV_CHECK(false, m_name << " waited too long");
}

void DlcKeepalive::printThreadsBackTrace() {
    if (DynamicTweaks::instance()->t_disableBtPrint.load()) {
        LOG(LogInfo) << "backtrace printing is disabled" << std::endl;
        return;
    }
    MemWatcher::instance()->iterateThreads(&ThreadBacktracePrinter::print);
}

void ThreadBacktracePrinter::print(i32 threadId, u64 threadData) {
    LOG(LogInfo) << " threadName=" << Logger::instance()->getThreadName(static_cast<u32>(threadId)) << " "
                 << "pid=" << threadId << std::endl;
    LOG(LogInfo) << "currently not Implemented in windows"
                 << " threadId=" << threadId << " "
                 << " threadData=" << threadData << " " << std::endl;
}

DeadLockCheckerManager::DeadLockCheckerManager() : m_lockSet("DeadLockCheckers") {
    s_forceKill.store(false);
    open();
    // The checker's thread has logged its start before the first keepalive
    // is registered.
    waitAllStarted();
}

void DeadLockCheckerManager::registerChecker(DlcKeepalive* keepalive) {
    MutexGuard guard(m_mutex);
    bool ret = m_lockSet.insert(keepalive).second;
    ORV_CHECK(ret, " checker=" << static_cast<const void*>(keepalive) << " "
                               << "checker already registered");
}

void DeadLockCheckerManager::unregisterChecker(DlcKeepalive* keepalive) {
    MutexGuard guard(m_mutex);
    bool ret = m_lockSet.erase(keepalive) == 1;
    ORV_CHECK(ret, " checker=" << static_cast<const void*>(keepalive) << " "
                               << "checker not found");
}

void DeadLockCheckerManager::run() {
    for (;;) {
        // Read every cycle, so that a shorter interval takes effect at the
        // next wake-up; 0 would spin, so one second is the least.
        u32 intervalSec = DynamicTweaks::instance()->t_deadlockCheckerIntervalSec.load();
        if (intervalSec == 0)
            intervalSec = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<u64>(intervalSec) * 1000));
        checkAll(static_cast<u64>(Timer::instance()->getTimestampMs()), intervalSec);
    }
}

void DeadLockCheckerManager::checkAll(u64 nowMs, u32 intervalSec) {
    MutexGuard guard(m_mutex);
    // Labelled as the loop it belongs to: checkAll is run()'s cycle.
    LOG_LABELED(LogInfo, "DeadLockCheckerManager::run")
        << " m_lockSet.size()=" << m_lockSet.size() << " " << std::endl;
    for (DlcKeepalive* keepalive : m_lockSet)
        keepalive->checkLease(nowMs, intervalSec);
}
