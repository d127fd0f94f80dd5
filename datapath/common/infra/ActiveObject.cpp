#include "ActiveObject.h"

#include "DeadLockChecker.h"
#include "DynamicTweaks.h"
#include "Log.h"
#include "RateMonitor.h"
#include "TrackedNew.h"

#include <chrono>
#include <thread>

u32 ActiveObject::Action::getDlcTimeoutSec() {
    if (m_dlcTimeoutSec != 0)
        return m_dlcTimeoutSec;
    DeadLockCheckerManager::instance();
    return DynamicTweaks::instance()->t_defaultDlcTimeoutSec.load();
}

ActiveObject::ActiveObject(const char* name, bool* forceVerbose)
    : m_pq(1, name != nullptr ? name : "", false), m_enabled(true), m_numStarted(0), m_numRunning(0),
      m_threadSeq(0), m_forceVerbose(forceVerbose), m_name(name != nullptr ? name : ""),
      m_rateMonitor(nullptr), m_dlcCustomBehaviour(0) {
    // NOLINTNEXTLINE(modernize-use-nullptr): the condition's text is the assertion's record
    ORV_CHECK(name != 0, "");
    LOG(LogInfo) << "AO<" << m_name << "> "
                 << " m_name=" << m_name << " "
                 << " m_forceVerbose=" << (m_forceVerbose != nullptr && *m_forceVerbose) << " "
                 << " DynamicTweaks::instance()->t_ActiveObjectVerboseLogs="
                 << DynamicTweaks::instance()->t_ActiveObjectVerboseLogs.load() << " " << std::endl;
}

ActiveObject::~ActiveObject() {
    terminateAllThreads();
    trackedDelete(m_rateMonitor);
}

void ActiveObject::attachRateMonitor(RateMonitor* monitor) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_rateMonitor = monitor;
}

bool ActiveObject::verbose() const {
    return (m_forceVerbose != nullptr && *m_forceVerbose) ||
           DynamicTweaks::instance()->t_ActiveObjectVerboseLogs;
}

u32 ActiveObject::getSpareCapacity() {
    std::lock_guard<std::mutex> lock(m_lock);
    i64 spare = static_cast<i64>(m_numStarted) - static_cast<i64>(m_pq.size()) + 1;
    return spare > 0 ? static_cast<u32>(spare) : 0;
}

void ActiveObject::onThreadStart(u32 threadSeq) {
    (void)threadSeq;
}

void ActiveObject::enqueue(Action* action) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_rateMonitor != nullptr)
        m_rateMonitor->itemPosted(!m_pq.hasItems());
    m_pq.enqueue(action, 0);
    m_cond.notify_one();
}

void ActiveObject::run() {
    u32 seq = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_numStarted;
        ++m_numRunning;
        seq = ++m_threadSeq;
    }
    DlcKeepalive* keepalive = ORV_NEW(DlcKeepalive)("", nullptr, m_dlcCustomBehaviour);
    keepalive->setActive(false);
    onThreadStart(seq);

    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        if (m_pq.hasItems()) {
            if (!m_enabled)
                break;
            Action* action = nullptr;
            u32 priority = 0;
            if (!m_pq.extract(action, priority)) {
                LOG(LogError) << "!bExtracted, m_pq.size " << m_pq.size() << " m_pq.empty "
                              << (m_pq.size() == 0) << "  m_pq Priority " << m_pq.currentPriority()
                              << std::endl;
                lock.unlock();
                lock.lock();
                continue;
            }
            if (m_rateMonitor != nullptr && !m_pq.hasItems())
                m_rateMonitor->queueDrained();
            lock.unlock();
            action->priority = priority;
            action->threadSeq = seq;
            u32 timeoutSec = action->getDlcTimeoutSec();
            if (timeoutSec == 0)
                timeoutSec = DynamicTweaks::instance()->t_defaultDlcTimeoutSec.load();
            keepalive->setTimeoutSec(timeoutSec);
            keepalive->setActive(true);
            keepalive->setAlive();
            action->keepalive = keepalive;
            action->execute();
            keepalive->setActive(false);
            trackedDelete(action);
            lock.lock();
            continue;
        }
        if (!m_enabled)
            break;
        std::cv_status status =
            m_cond.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(5));
        if (status == std::cv_status::timeout && verbose() && (m_pq.hasItems() || !m_enabled))
            LOG(LogInfo) << "AO<" << m_name << "> " << m_name
                         << " !m_pq.empty() || !m_enabled, and wait timed out, unlikely, m_pq.size "
                         << m_pq.size() << " m_pq.empty " << (m_pq.size() == 0) << "  m_pq Priority "
                         << m_pq.currentPriority() << std::endl;
    }
    lock.unlock();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        --m_numRunning;
    }
    // The object may be gone from here on: terminateAllThreads returns once
    // no thread is running.
    trackedDelete(keepalive);
}

void ActiveObject::terminateAllThreads() {
    waitAllStarted();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_enabled = false;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        if (m_numStarted == numOpened() && m_numRunning == 0)
            break;
        for (u32 i = 0; i < m_numRunning; ++i)
            m_cond.notify_one();
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        lock.lock();
    }
    if (m_pq.hasItems()) {
        LOG(LogWarn) << "ActiveObject queue was not empty during shutdown: " << m_pq.size()
                     << " items, details follow." << std::endl;
        for (u32 p = 0; p < m_pq.levels(); ++p)
            LOG(LogWarn) << "priority " << p << ": " << m_pq.size(p) << " items, " << m_pq.sizeBytes(p)
                         << std::endl;
    }
    while (m_pq.hasItems()) {
        Action* action = nullptr;
        u32 priority = 0;
        bool bExtracted = m_pq.extract(action, priority);
        ORV_CHECK(bExtracted, "Failed to extract items from ActiveObject queue for cleanup during shutdown.");
        trackedDelete(action);
    }
    if (m_rateMonitor != nullptr)
        m_rateMonitor->queueDrained();
}
