#include "DeadLockChecker.h"
#include "Future.h"
#include "InfraTest.h"
#include "MemWatcher.h"
#include "TrackedNew.h"

namespace {
const u64 kStartMs = 1000000;
const u32 kIntervalSec = 60;

struct Listener : IDlcKeepaliveListener {
    bool extend = false;
    std::vector<std::string> released;
    bool shouldExtendTimeout(DlcKeepalive*) override { return extend; }
    void onKeepaliveReleased(DlcKeepalive* k) override { released.push_back(k->name()); }
    bool customTimeoutBehavior(const std::string&) override { return false; }
};

// The leases' records at checks every interval from kStartMs; the first check starts the lease.
std::vector<std::string> checkEveryInterval(int checks, const std::function<void()>& beforeCheck = nullptr) {
    LogCapture::instance().clear();
    for (int i = 0; i < checks; ++i) {
        if (beforeCheck)
            beforeCheck();
        DeadLockCheckerManager::instance()->checkAll(kStartMs + static_cast<u64>(i) * kIntervalSec * 1000,
                                                     kIntervalSec);
    }
    std::vector<std::string> messages;
    for (const std::string& text : LogCapture::instance().records()) {
        const LogRecord record = LogCapture::columnsOf(text);
        if (record.cls == "DlcKeepalive" && record.function == "checkLease")
            messages.push_back(record.message);
    }
    return messages;
}
} // namespace

TEST(DeadLockChecker, StuckFromTheSecondIntervalOrExtendedByAListener) {
    Listener listener;
    DlcKeepalive lease("lease", &listener);
    EXPECT_EQ((std::vector<std::string>{"lease is stuck for 120 sec", "lease is stuck for 180 sec"}),
              checkEveryInterval(4));

    listener.extend = true;
    lease.setAlive(); // each phase starts a fresh lease at kStartMs
    EXPECT_EQ((std::vector<std::string>{"lease is stuck for 120 sec", "lease increasing timeout by 60"}),
              checkEveryInterval(3));
    EXPECT_EQ(960u, lease.timeoutSec());
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

TEST(DeadLockCheckerDeathTest, ATimedOutLeaseListsTheThreadsAndEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto timeOut = [] {
        MemWatcher::instance()->AddThread(Os::currentThreadId()); // at least one thread to list
        DlcKeepalive lease("lease", nullptr);
        checkEveryInterval(17);
    };
    EXPECT_FAILFAST(timeOut(), ",Error,.*,checkLease,lease is stuck for 960 sec\n",
                    ",Control,.*lease waited too long  deltaSec=960  m_timeoutSec=900 ",
                    ",MemWatcher,iterateThreads,start\n",
                    ",ThreadBacktracePrinter,print, threadName=", ",MemWatcher,iterateThreads,done\n",
                    ",Assert,.*,checkLease, .*: false failed\\. lease waited too long\n");
    DlcKeepalive lease("lease", nullptr);
    EXPECT_FAILFAST(DeadLockCheckerManager::instance()->registerChecker(&lease),
                    ",registerChecker, .* ret failed\\.  checker=\\S+ checker already registered\n");
}
