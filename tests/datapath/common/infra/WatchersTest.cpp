#include "CpuUsageMonitor.h"
#include "Log.h"
#include "MemWatchedContainer.h"
#include "MemWatcher.h"
#include "StlMemShiledContainer.h"
#include "ThreadWrapper.h"
#include "Tweaks.h"
#include "support/LogCapture.h"
#include "support/StderrLogEcho.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <queue>
#include <set>
#include <thread>
#include <vector>

namespace {
bool logged(const std::string& message) {
    return LogCapture::instance().hasMessage(message);
}
bool loggedContaining(const std::string& fragment) {
    return LogCapture::instance().hasMessageContaining(fragment);
}
typedef StlMemShiledContainer<std::map<u32, u64>> WatchedMap;
} // namespace

TEST(WatchedContainers, ReportSumsItemsAndBytesPerLiveName) {
    { WatchedMap gone("WatchTestGone"); }
    WatchedMap a("WatchTestMap"), b("WatchTestMap");
    a[1] = 1;
    a[2] = 2;
    for (u32 i = 0; i < 3; ++i)
        b[i] = i;
    WatchedMap copy(a); // a container of its own under the same name
    StlMemShiledContainer<std::set<u32>> empty("WatchTestEmpty");
    StlMemShiledContainer<std::queue<u64, std::deque<u64>>> queue("WatchTestQueue");
    queue.push(7);

    LogCapture::instance().clear();
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    // A map element: its pair plus a tree node's four pointers.
    const u64 perItem = sizeof(std::pair<const u32, u64>) + 4 * sizeof(void*);
    EXPECT_TRUE(logged("ContainerName = WatchTestMap items = 7 memory = " + std::to_string(7 * perItem) +
                       " (max = " + std::to_string(3 * perItem) + ")"));
    EXPECT_TRUE(logged("ContainerName = WatchTestEmpty items = 0"));
    EXPECT_TRUE(logged("ContainerName = WatchTestQueue items = 1 memory = 8 (max = 8)"));
    EXPECT_FALSE(loggedContaining("WatchTestGone"));
    EXPECT_EQ(',', LogCapture::instance().records().back()[19]) << "no fraction of a second";
}

TEST(WatchedContainers, ConcurrentContainersAndReports) {
    std::atomic<bool> stop{false};
    std::thread reporter([&] {
        while (!stop.load())
            MemWatchedContainerDatabase::instance()->printWatchedContainers();
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                WatchedMap m("WatchTestChurn");
                WatchedMap copy(m);
            }
        });
    for (std::thread& th : threads)
        th.join();
    stop = true;
    reporter.join();
}

TEST(WatchedContainersDeathTest, RegistryRefusesDoubleRegistrationAndUnknownRemoval) {
    auto* db = MemWatchedContainerDatabase::instance();
    EXPECT_EXIT(
        {
            echoLogToStderr();
            WatchedMap m("WatchTestTwice");
            db->registerContainer(&m);
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        ",Error,.*,MemWatchedContainerDatabase,registerContainer,Assertion .rt. failed "
        "datapath/common/infra/MemWatchedContainer\\.cpp ");
    EXPECT_EXIT(
        {
            echoLogToStderr();
            WatchedMap m("WatchTestMissing");
            db->unregisterContainer(&m);
            db->unregisterContainer(&m);
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        "unregisterContainer,Assertion .iter != m_containers\\.end... failed");
}

namespace {
const u32 kFakeThreadId = 0x7ffffff0; // no such thread exists

size_t recordsOf(u32 threadId) {
    size_t n = 0;
    MemWatcher::instance()->iterateThreads([&](i32 id, u64) { n += static_cast<u32>(id) == threadId; });
    return n;
}

class WatchedSpinner : public ThreadWrapper {
public:
    void run() override {
        threadId = Os::currentThreadId();
        volatile u64 sink = 0;
        while (!stop.load())
            sink = sink + 1;
    }
    std::atomic<u32> threadId{0};
    std::atomic<bool> stop{false};
};
} // namespace

TEST(MemWatcher, SecondAddOfAThreadKeepsOneRecord) {
    LogCapture::instance().clear();
    MemWatcher::instance()->AddThread(kFakeThreadId);
    MemWatcher::instance()->AddThread(kFakeThreadId);
    EXPECT_EQ(1u, recordsOf(kFakeThreadId));
    std::vector<std::string> m = LogCapture::instance().messages();
    EXPECT_EQ(1, std::count(m.begin(), m.end(), "added  pid=" + std::to_string(kFakeThreadId)));
    MemWatcher::instance()->RemoveThread(kFakeThreadId);
    EXPECT_EQ(0u, recordsOf(kFakeThreadId));
}

TEST(MemWatcher, WrappedThreadsAreListedWhileTheyRunAndGoneThreadsLeaveOnPrint) {
    WatchedSpinner spinner;
    spinner.open();
    spinner.waitAllStarted();
    while (spinner.threadId.load() == 0)
        std::this_thread::yield();
    EXPECT_EQ(1u, recordsOf(spinner.threadId));

    MemWatcher::instance()->AddThread(kFakeThreadId);
    LogCapture::instance().clear();
    MemWatcher::instance()->printCpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MemWatcher::instance()->printCpu();
    EXPECT_EQ(0u, recordsOf(kFakeThreadId)); // its sample found it gone
    EXPECT_TRUE(loggedContaining(" cpu(perc) "));

    spinner.stop = true;
    for (int i = 0; i < 5000 && recordsOf(spinner.threadId) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(0u, recordsOf(spinner.threadId));
}

TEST(MemWatcher, MemoryReportReadsTheCounters) {
    LogCapture::instance().clear();
    MemWatcher::instance()->printMem();
    EXPECT_TRUE(loggedContaining("memory information: PWSS="));
    EXPECT_FALSE(loggedContaining(" WSS=0 "));
}

TEST(ThreadCpuUsageMonitor, FirstSampleIsZeroAndAGoneThreadIsNoticed) {
    ThreadCpuUsageMonitor monitor(Os::currentThreadId());
    EXPECT_EQ(0, monitor.update());
    EXPECT_GE(monitor.lastUserTime(), 0);
    EXPECT_GE(monitor.update(), 0);
    EXPECT_FALSE(monitor.isGone());
    ThreadCpuUsageMonitor gone(kFakeThreadId);
    EXPECT_EQ(0, gone.update());
    EXPECT_TRUE(gone.isGone());
}

namespace {
// Counters that report what the test sets.
struct FakeCpuCounter : CpuUsageMonitor::Counter {
    i64 total = 0, idle = 0;
    long read(i64* totalTicks, i64* idleTicks) override {
        *totalTicks = total;
        *idleTicks = idle;
        return 0;
    }
};
} // namespace

TEST(CpuUsageMonitor, RealCountersGiveTheBusyShareOfElapsedTime) {
    FakeCpuCounter* counter = new FakeCpuCounter();
    counter->total = 1000;
    counter->idle = 400;
    CpuUsageMonitor monitor{std::unique_ptr<CpuUsageMonitor::Counter>(counter)};
    EXPECT_EQ(1000, monitor.update());
    EXPECT_EQ(60, monitor.cpuPercent());
    counter->total = 1200; // 200 elapsed, 50 of them idle
    counter->idle = 450;
    EXPECT_EQ(200, monitor.update());
    EXPECT_EQ(75, monitor.cpuPercent());
    EXPECT_EQ(0, monitor.update()); // no time elapsed
    EXPECT_EQ(0, monitor.cpuPercent());
}

TEST(CpuUsageMonitor, SystemCountersReadOnTheirOwn) {
    LogCapture::instance().clear();
    CpuUsageMonitor monitor(CpuUsageMonitor::Counter::openSystem());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    i64 ticks = monitor.update();
#ifdef _WIN32
    // Wine offers no idle-time counter: there the failed read is reported.
    if (ticks == 0) {
        EXPECT_TRUE(loggedContaining("PdhGetRawCounterValue returned error  sts="));
    }
#else
    EXPECT_GT(ticks, 0);
#endif
    EXPECT_GE(monitor.cpuPercent(), 0);
    EXPECT_LE(monitor.cpuPercent(), 100);
}

TEST(CpuUsageMonitor, RandomSamplesFollowTheProbabilities) {
    CpuUsageMonitor monitor{std::unique_ptr<CpuUsageMonitor::Counter>(new FakeCpuCounter())};
    const int kSamples = 2000;
    int zeros = 0, hundreds = 0;
    for (int i = 0; i < kSamples; ++i) {
        i64 v = monitor.randomCpuGeneratorForTests(CpuUsageProbabilities{50, 0, 50, 0}, 90);
        zeros += v == 0;
        hundreds += v == 100;
    }
    EXPECT_EQ(kSamples, zeros + hundreds);
    EXPECT_GT(zeros, kSamples * 4 / 10);
    EXPECT_GT(hundreds, kSamples * 4 / 10);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(89, monitor.randomCpuGeneratorForTests(CpuUsageProbabilities{0, 100, 0, 0}, 90));
        EXPECT_EQ(89, monitor.randomCpuGeneratorForTests(CpuUsageProbabilities{0, 0, 0, 100}, 90));
    }
    EXPECT_EXIT(
        (echoLogToStderr(), monitor.randomCpuGeneratorForTests(CpuUsageProbabilities{50, 10, 30, 0}, 90)),
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        "CpuUsageMonitor,randomCpuGeneratorForTests, .* == 100 failed\\.  highCpuUsageProbabilityPercent=50 "
        "midCpuUsageProbabilityPercent=10 lowCpuUsageProbabilityPercent=30 "
        "keepPrevCpuUsageProbabilityPercent=0");
}

TEST(CpuUsageMonitor, SimulationWithoutRandomnessReportsAnIdleMachine) {
    LogCapture::instance().clear();
    Tweaks::instance()->update("t_simulativeCpuUsage", "1");
    CpuUsageMonitor monitor;
    Tweaks::instance()->update("t_simulativeCpuUsage", "");
    EXPECT_TRUE(logged("Using simulative CPU counters "));
    EXPECT_EQ(0, monitor.update());
    EXPECT_EQ(0, monitor.cpuPercent());
}
