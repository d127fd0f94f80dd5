#include "DeadLockChecker.h"
#include "ActiveObject.h"
#include "Future.h"
#include "InfraTest.h"
#include "MemWatcher.h"
#include "TrackedNew.h"
#include "Tweaks.h"

namespace {
const u64 kStartMs = 1000000;
const u32 kIntervalSec = 60;

struct Listener : IDlcKeepaliveListener {
    bool extend = false, absorb = false;
    std::vector<std::string> released;
    bool shouldExtendTimeout(DlcKeepalive*) override { return extend; }
    void onKeepaliveReleased(DlcKeepalive* k) override { released.push_back(k->name()); }
    bool customTimeoutBehavior(const std::string&) override { return absorb; }
};

// The leases' records at checks every interval from kStartMs; the first
// check starts the lease.
std::vector<std::string> checkEveryInterval(int checks, const std::function<void()>& beforeCheck = nullptr) {
    LogCapture::instance().clear();
    for (int i = 0; i < checks; ++i) {
        if (beforeCheck)
            beforeCheck();
        DeadLockCheckerManager::instance()->checkAll(kStartMs + static_cast<u64>(i) * kIntervalSec * 1000,
                                                     kIntervalSec);
    }
    return messagesFrom("DlcKeepalive", "checkLease");
}
} // namespace

TEST(DeadLockChecker, StuckFromTheSecondIntervalExtendedOrAbsorbedByAListener) {
    Listener listener;
    DlcKeepalive lease("lease", &listener);
    EXPECT_EQ(900u, lease.timeoutSec());
    EXPECT_EQ((std::vector<std::string>{"lease is stuck for 120 sec", "lease is stuck for 180 sec"}),
              checkEveryInterval(4));

    listener.extend = true;
    lease.setAlive(); // each phase starts a fresh lease at kStartMs
    EXPECT_EQ((std::vector<std::string>{"lease is stuck for 120 sec", "lease increasing timeout by 60"}),
              checkEveryInterval(3));
    EXPECT_EQ(960u, lease.timeoutSec());

    listener.extend = false;
    listener.absorb = true;
    lease.setTimeoutSec(100);
    lease.setAlive();
    std::vector<std::string> absorbed = checkEveryInterval(3);
    ASSERT_EQ(3u, absorbed.size());
    EXPECT_EQ(0u, absorbed[1].find("lease waited too long  deltaSec=120  m_timeoutSec=100 ")) << absorbed[1];
    EXPECT_EQ("lease custom timeout behavior executed, rescheduling", absorbed[2]);
    EXPECT_FALSE(DeadLockCheckerManager::forceKillRequested());
}

TEST(DeadLockChecker, ProgressOrAnInactiveLeaseIsNeverReportedAndAReleasedOneIsGone) {
    DlcKeepalive renewed("renewed", nullptr);
    DlcKeepalive idle("", nullptr);
    idle.setActive(false);
    EXPECT_EQ("pid=" + std::to_string(Os::currentThreadId()), idle.name()); // unnamed: its thread
    EXPECT_EQ((std::vector<std::string>{}), checkEveryInterval(20, [&] { renewed.setAlive(); }));

    Listener listener;
    Future<RcStatus> done;
    done.addObserver(ORV_NEW(DlcKeepalive)("tied", &listener));
    done.set(RC_SUCCESS);
    EXPECT_EQ((std::vector<std::string>{"tied"}), listener.released);
    EXPECT_EQ((std::vector<std::string>{}), checkEveryInterval(3, [&] { renewed.setAlive(); }));
}

TEST(DeadLockCheckerDeathTest, ATimedOutLeaseListsTheThreadsUnlessDisabledAndEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        bool disableListing;
        std::vector<std::string> expected;
    } rows[] = {
        {false,
         {",Error,\\d+,NON,DlcKeepalive,checkLease,lease is stuck for 960 sec\n",
          ",Control,.*lease waited too long  deltaSec=960  m_timeoutSec=900 ",
          ",MemWatcher,iterateThreads,start\n",
          ",ThreadBacktracePrinter,print, threadName=", ",MemWatcher,iterateThreads,done\n",
          ",Assert,\\d+,NON,DlcKeepalive,checkLease, datapath/common/infra/DeadLockChecker\\.cpp \\d+: "
          "false failed\\. lease waited too long\n"}},
        {true,
         {"lease waited too long", ",DlcKeepalive,printThreadsBackTrace,backtrace printing is disabled\n",
          "false failed\\. lease waited too long\n"}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.disableListing ? "listing disabled" : "listed");
        EXPECT_EXIT(
            {
                echoLogToStderr();
                if (row.disableListing)
                    Tweaks::instance()->update("t_disableBtPrint", "1");
                MemWatcher::instance()->AddThread(Os::currentThreadId()); // at least one thread to list
                DlcKeepalive lease("lease", nullptr);
                checkEveryInterval(17);
            },
            ::testing::ExitedWithCode(Os::kFailFastExitCode), InOrder(row.expected));
    }
    DlcKeepalive lease("lease", nullptr);
    EXPECT_FAILFAST(
        DeadLockCheckerManager::instance()->registerChecker(&lease),
        InOrder({",DeadLockCheckerManager,registerChecker, .* ret failed\\.  checker=\\S+ checker "
                 "already registered\n"}));
}

// The checker's own thread, with the interval shortened by tweak, catches an
// active object's action that hangs past its lease. How late past the lease
// depends on the machine's load.
TEST(DeadLockCheckerDeathTest, TheCheckerThreadEndsAProcessWhoseActionHangs) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Hang : ActiveObject::Action {
        void execute() override {
            for (;;)
                std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    };
    EXPECT_EXIT(
        {
            echoLogToStderr();
            Tweaks::instance()->update("t_deadlockCheckerIntervalSec", "1");
            ActiveObject* ao = new ActiveObject("AoHang", nullptr);
            ao->open();
            Hang* hang = ORV_NEW(Hang)();
            hang->m_dlcTimeoutSec = 2;
            ao->enqueue(hang);
            std::this_thread::sleep_for(std::chrono::seconds(30));
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        InOrder({"Starting ThreadWrapper of type class DeadLockCheckerManager",
                 ",Control,.*pid=\\d+ waited too long  deltaSec=\\d+  m_timeoutSec=2 ",
                 "false failed\\. pid=\\d+ waited too long\n"}));
}
