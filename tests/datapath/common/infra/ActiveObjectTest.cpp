#include "ActiveObject.h"
#include "DeadLockChecker.h"
#include "Future.h"
#include "PriorityQueue.h"
#include "TrackedNew.h"
#include "support/InOrder.h"
#include "support/LogCapture.h"
#include "support/StderrLogEcho.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {
typedef PriorityQueue<ActiveObject::Action*> ActionQueue;

// Records what ran, on which thread and under which lease; optionally blocks
// until released so that a test can hold the object's only thread.
struct Probe {
    std::atomic<int> executed{0};
    std::atomic<int> destroyed{0};
    std::atomic<bool> release{true};
    std::atomic<bool> running{false};
    std::vector<int> order;
    u32 seenPriority = 99, seenSeq = 0, seenTimeout = 0;
    bool seenActiveLease = false;
};

struct ProbeAction : ActiveObject::Action {
    ProbeAction(Probe* probe, int id, u32 timeoutSec = 0) : m_probe(probe), m_id(id) {
        m_dlcTimeoutSec = timeoutSec;
    }
    ~ProbeAction() override { ++m_probe->destroyed; }
    void execute() override {
        m_probe->running = true;
        while (!m_probe->release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m_probe->order.push_back(m_id);
        m_probe->seenPriority = priority;
        m_probe->seenSeq = threadSeq;
        m_probe->seenTimeout = keepalive->timeoutSec();
        m_probe->seenActiveLease = keepalive->active();
        ++m_probe->executed;
    }
    Probe* m_probe;
    int m_id;
};

bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 5000 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

struct Recorder : FutureObserver<RcStatus> {
    explicit Recorder(std::vector<std::string>* log, const char* name) : m_log(log), m_name(name) {}
    void onFutureSet(RcStatus value) override { m_log->push_back(m_name + "=" + std::to_string(value)); }
    std::vector<std::string>* m_log;
    std::string m_name;
};

void threadsafeDeathTests() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
}
} // namespace

TEST(PriorityQueue, HighestLevelFirstOldestFirstWithCountsAndWatermarks) {
    ProbeAction* a[5];
    Probe probe;
    for (int i = 0; i < 5; ++i)
        a[i] = new ProbeAction(&probe, i);
    ActionQueue q(3, "PqTest", false);
    const u32 levels[] = {0, 2, 0, 1, 2};
    for (int i = 0; i < 5; ++i)
        q.enqueue(a[i], levels[i]);
    EXPECT_EQ(5u, q.size());
    EXPECT_EQ(2u, q.size(0));
    EXPECT_EQ(0u, q.sizeBytes(2));

    const int expectedOrder[] = {1, 4, 3, 0, 2};
    const u32 expectedLevel[] = {2, 2, 1, 0, 0};
    for (int i = 0; i < 5; ++i) {
        ActiveObject::Action* item = nullptr;
        u32 priority = 99;
        ASSERT_TRUE(q.extract(item, priority));
        EXPECT_EQ(a[expectedOrder[i]], item) << i;
        EXPECT_EQ(expectedLevel[i], priority) << i;
    }
    ActiveObject::Action* item = nullptr;
    u32 priority = 0;
    EXPECT_FALSE(q.extract(item, priority));
    EXPECT_FALSE(q.hasItems());
    for (ProbeAction* p : a)
        delete p;
}

TEST(PriorityQueue, StatisticsAreLoggedAtMostOncePerIntervalAndOnlyWhenAskedFor) {
    Probe probe;
    ProbeAction action(&probe, 0);
    LogCapture::instance().clear();
    ActionQueue quiet(1, "PqQuiet", false);
    quiet.enqueue(&action);
    ActionQueue loud(2, "PqLoud", true);
    loud.enqueue(&action, 1); // the first call prints: nothing printed yet
    loud.enqueue(&action, 1); // within the interval: silent
    std::vector<std::string> stats;
    for (const std::string& r : LogCapture::instance().records())
        if (r.find(",PriorityQueue,printStatsIfNeeded,") != std::string::npos)
            stats.push_back(LogCapture::messageOf(r));
    EXPECT_EQ((std::vector<std::string>{"(PqLoud)Q1:0 (0 B WM-H0 L0) Q0:0 (0 B WM-H0 L0) "}), stats);
}

TEST(Future, SetOnceReachesObserversInOrderAndWaitingReaders) {
    std::vector<std::string> log;
    Recorder first(&log, "first"), second(&log, "second"), late(&log, "late");
    Future<RcStatus> future;
    Future<RcStatus> copy = future;
    future.addObserver(&first);
    copy.addObserver(&second);
    EXPECT_FALSE(copy.isSet());
    RcStatus seen = RC_SUCCESS;
    std::thread reader([&] { seen = copy.get(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    future.set(RC_TIME_OUT);
    reader.join();
    EXPECT_EQ(RC_TIME_OUT, seen);
    copy.addObserver(&late);
    EXPECT_EQ((std::vector<std::string>{"first=15", "second=15", "late=15"}), log);
}

TEST(ActiveObject, RunsActionsInOrderUnderALeaseAndDestroysThem) {
    LogCapture::instance().clear();
    bool verbose = false;
    Probe probe;
    {
        ActiveObject ao("AoRun", &verbose);
        ao.open();
        ao.enqueue(ORV_NEW(ProbeAction)(&probe, 1));
        ao.enqueue(ORV_NEW(ProbeAction)(&probe, 2, 7));
        ASSERT_TRUE(waitFor([&] { return probe.destroyed == 2; }));
        EXPECT_EQ(2u, ao.getSpareCapacity()); // one thread, nothing queued
    }
    EXPECT_EQ((std::vector<int>{1, 2}), probe.order);
    EXPECT_EQ(0u, probe.seenPriority);
    EXPECT_EQ(1u, probe.seenSeq);
    EXPECT_EQ(7u, probe.seenTimeout); // the action's own; the first ran under the default
    EXPECT_TRUE(probe.seenActiveLease);
    std::vector<std::string> m = LogCapture::instance().messages();
    EXPECT_TRUE(LogCapture::instance().hasMessage("AO<AoRun>  m_name=AoRun  m_forceVerbose=0  "
                                                  "DynamicTweaks::instance()->t_ActiveObjectVerboseLogs=0 "));
    for (const std::string& message : m) {
        EXPECT_EQ(std::string::npos, message.find("PriorityQueue")) << message;
        EXPECT_EQ(std::string::npos, message.find("was not empty")) << message;
    }
}

TEST(ActiveObject, DefaultLeaseIsTheTweakedTimeout) {
    Probe probe;
    ProbeAction action(&probe, 0);
    EXPECT_EQ(900u, action.getDlcTimeoutSec());
}

TEST(ActiveObject, ShutdownLetsTheRunningActionFinishAndDropsTheQueuedOnes) {
    LogCapture::instance().clear();
    Probe probe;
    probe.release = false;
    ActiveObject* ao = new ActiveObject("AoShutdown", nullptr);
    ao->open();
    ao->enqueue(ORV_NEW(ProbeAction)(&probe, 0));
    ASSERT_TRUE(waitFor([&] { return probe.running.load(); }));
    ao->enqueue(ORV_NEW(ProbeAction)(&probe, 1));
    ao->enqueue(ORV_NEW(ProbeAction)(&probe, 2));
    EXPECT_EQ(0u, ao->getSpareCapacity()); // one thread, two queued
    ao->enqueue(ORV_NEW(ProbeAction)(&probe, 3));

    std::thread destroyer([&] { delete ao; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0, probe.destroyed.load()); // still waiting for the running action
    probe.release = true;
    destroyer.join();
    EXPECT_EQ(1, probe.executed.load());
    EXPECT_EQ(4, probe.destroyed.load());
    std::vector<std::string> warns;
    for (const std::string& r : LogCapture::instance().records())
        if (r.find(",Warn,") != std::string::npos)
            warns.push_back(LogCapture::messageOf(r));
    EXPECT_EQ((std::vector<std::string>{
                  "ActiveObject queue was not empty during shutdown: 3 items, details follow.",
                  "priority 0: 3 items, 0"}),
              warns);
}

TEST(RuntimeDeathTest, MisuseEndsTheProcess) {
    threadsafeDeathTests();
    EXPECT_EXIT(
        (echoLogToStderr(), ActiveObject(nullptr, nullptr)), ::testing::ExitedWithCode(Os::kFailFastExitCode),
        InOrder({",Assert,\\d+,NON,ActiveObject,ActiveObject, datapath/common/infra/ActiveObject\\.cpp \\d+: "
                 "name != 0 failed\\. \n"}));
    EXPECT_EXIT(
        {
            echoLogToStderr();
            Future<RcStatus> f;
            f.set(RC_SUCCESS);
            f.set(RC_ERROR);
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        InOrder({",Error,\\d+,NON,FutureInternal::Future<enum RcStatus>,set,Assertion "
                 "\\(!tempSmartPtr->m_bSet\\) "
                 "failed datapath/common/infra/Future\\.h \\d+\n"}));
    EXPECT_EXIT(
        {
            echoLogToStderr();
            Probe probe;
            ProbeAction action(&probe, 0);
            ActionQueue(1, "PqBad", false).enqueue(&action, 1);
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        InOrder({",Assert,\\d+,NON,PriorityQueue<class ActiveObject::Action \\*>,enqueue, "
                 "datapath/common/infra/PriorityQueue\\.h \\d+: priority < m_queues\\.size\\(\\) failed\\. "
                 "priority too high priority=1 m_queues\\.size\\(\\)=1\n"}));
}
