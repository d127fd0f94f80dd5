#include "ActiveObject.h"
#include "DeadLockChecker.h"
#include "Future.h"
#include "InfraTest.h"
#include "PriorityQueue.h"
#include "TrackedNew.h"

namespace {
struct Probe {
    std::atomic<int> destroyed{0};
    std::atomic<bool> release{true}, running{false};
    std::vector<int> order;
    u32 seenTimeout = 0;
    bool seenActiveLease = false;
};

struct ProbeAction : ActiveObject::Action {
    ProbeAction(Probe* probe, int id, u32 timeoutSec = 0) : m_probe(probe), m_id(id) {
        m_dlcTimeoutSec = timeoutSec;
    }
    ~ProbeAction() override { ++m_probe->destroyed; }
    void execute() override {
        m_probe->running = true;
        waitUntil([this] { return m_probe->release.load(); });
        m_probe->order.push_back(m_id);
        m_probe->seenTimeout = keepalive->timeoutSec();
        m_probe->seenActiveLease = keepalive->active();
    }
    Probe* m_probe;
    int m_id;
};

} // namespace

TEST(PriorityQueue, HighestLevelFirstOldestFirst) {
    PriorityQueue<int> queue(3, "PqTest", false);
    const u32 levels[] = {0, 2, 0, 1, 2};
    for (int i = 0; i < 5; ++i)
        queue.enqueue(i, levels[i]);
    EXPECT_EQ(5u, queue.size());
    EXPECT_EQ(2u, queue.size(0));
    std::string order;
    int item = -1;
    for (u32 priority = 99; queue.extract(item, priority);)
        order += std::to_string(item) + "@" + std::to_string(priority) + " ";
    EXPECT_EQ("1@2 4@2 3@1 0@0 2@0 ", order);
    EXPECT_FALSE(queue.hasItems());
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
        ASSERT_TRUE(waitUntil([&] { return probe.destroyed == 2; }));
        EXPECT_EQ(2u, ao.getSpareCapacity()); // one thread, nothing queued
    }
    EXPECT_EQ((std::vector<int>{1, 2}), probe.order);
    EXPECT_EQ(7u, probe.seenTimeout); // the action's own, not the default
    EXPECT_TRUE(probe.seenActiveLease);
    EXPECT_FALSE(logged("(AoRun)Q0:")); // no statistics unless verbose
    EXPECT_FALSE(logged("was not empty"));
}

TEST(ActiveObject, ShutdownLetsTheRunningActionFinishAndDropsTheQueuedOnes) {
    LogCapture::instance().clear();
    Probe probe;
    probe.release = false;
    ActiveObject* ao = new ActiveObject("AoShutdown", nullptr);
    ao->open();
    ao->enqueue(ORV_NEW(ProbeAction)(&probe, 0));
    ASSERT_TRUE(waitUntil([&] { return probe.running.load(); }));
    ao->enqueue(ORV_NEW(ProbeAction)(&probe, 1));
    ao->enqueue(ORV_NEW(ProbeAction)(&probe, 2));
    EXPECT_EQ(0u, ao->getSpareCapacity()); // one thread, two queued
    ao->enqueue(ORV_NEW(ProbeAction)(&probe, 3));

    std::thread destroyer([&] { delete ao; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0, probe.destroyed.load()); // still waiting for the running action
    probe.release = true;
    destroyer.join();
    EXPECT_EQ(std::vector<int>{0}, probe.order); // only the running one ran
    EXPECT_EQ(4, probe.destroyed.load());
    EXPECT_TRUE(LogCapture::instance().hasMessage(
        "ActiveObject queue was not empty during shutdown: 3 items, details follow."));
}

TEST(RuntimeDeathTest, MisuseEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_FAILFAST(ActiveObject(nullptr, nullptr), ",ActiveObject,ActiveObject, .*: name != 0 failed\\. \n");
    Future<RcStatus> f;
    f.set(RC_SUCCESS);
    EXPECT_FAILFAST(f.set(RC_ERROR), ",set,Assertion \\(!tempSmartPtr->m_bSet\\) failed .*Future\\.h");
    EXPECT_FAILFAST(PriorityQueue<int>(1, "PqBad", false).enqueue(0, 1),
                    ",enqueue, .*: priority < m_queues\\.size\\(\\) failed\\. priority too high");
}
