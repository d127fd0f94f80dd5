#include "CpuUsageMonitor.h"
#include "InfraTest.h"
#include "MemWatchedContainer.h"
#include "MemWatcher.h"
#include "StlMemShiledContainer.h"

#include <deque>
#include <map>
#include <queue>

namespace {
typedef StlMemShiledContainer<std::map<u32, u64>> WatchedMap;
const u32 kFakeThreadId = 0x7ffffff0; // no such thread exists

size_t recordsOf(u32 threadId) {
    size_t n = 0;
    MemWatcher::instance()->iterateThreads([&](i32 id, u64) { n += static_cast<u32>(id) == threadId; });
    return n;
}

struct FakeCpuCounter : CpuUsageMonitor::Counter {
    i64 total = 0, idle = 0;
    long read(i64* totalTicks, i64* idleTicks) override {
        *totalTicks = total;
        *idleTicks = idle;
        return 0;
    }
};
} // namespace

TEST(WatchedContainers, ReportSumsItemsAndBytesPerLiveName) {
    WatchedMap a("WatchTestMap"), b("WatchTestMap");
    a.insert({{1, 1}, {2, 2}});
    b.insert({{0, 0}, {1, 1}, {2, 2}});
    WatchedMap copy(a); // a container of its own under the same name
    StlMemShiledContainer<std::queue<u64, std::deque<u64>>> queue("WatchTestQueue");
    queue.push(7);

    LogCapture::instance().clear();
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    const u64 perItem = sizeof(std::pair<const u32, u64>) + 4 * sizeof(void*); // pair + tree node links
    EXPECT_TRUE(logged("ContainerName = WatchTestMap items = 7 memory = " + std::to_string(7 * perItem) +
                       " (max = " + std::to_string(3 * perItem) + ")"));
    EXPECT_TRUE(logged("ContainerName = WatchTestQueue items = 1 memory = 8 (max = 8)"));
    EXPECT_EQ(',', LogCapture::instance().records().back()[19]) << "no fraction of a second";
}

// Containers come and go while reports walk the registry (TSan's subject);
// once they are gone, none is left registered.
TEST(WatchedContainers, ConcurrentContainersAndReportsLeaveNoneBehind) {
    std::thread churn([] {
        for (int i = 0; i < 500; ++i) {
            WatchedMap m("WatchTestChurn");
            WatchedMap copy(m); // NOLINT(performance-unnecessary-copy-initialization): the copy is the case
        }
    });
    for (int i = 0; i < 50; ++i)
        MemWatchedContainerDatabase::instance()->printWatchedContainers();
    churn.join();
    LogCapture::instance().clear();
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    EXPECT_FALSE(logged("WatchTestChurn"));
}

TEST(WatchedContainersDeathTest, RegistryRefusesDoubleRegistrationAndUnknownRemoval) {
    auto* db = MemWatchedContainerDatabase::instance();
    WatchedMap m("WatchTestTwice");
    EXPECT_FAILFAST(db->registerContainer(&m), ",registerContainer,Assertion .rt. failed ");
    EXPECT_FAILFAST((db->unregisterContainer(&m), db->unregisterContainer(&m)),
                    "unregisterContainer,Assertion .iter != m_containers\\.end... failed");
}

TEST(MemWatcher, SecondAddOfAThreadKeepsOneRecordAndAGoneThreadLeavesOnPrint) {
    LogCapture::instance().clear();
    MemWatcher::instance()->AddThread(kFakeThreadId);
    MemWatcher::instance()->AddThread(kFakeThreadId);
    EXPECT_EQ(1u, recordsOf(kFakeThreadId));
    EXPECT_EQ(1u, recordsMatching(",added  pid=" + std::to_string(kFakeThreadId) + "\n$"));
    MemWatcher::instance()->printCpu();
    EXPECT_EQ(0u, recordsOf(kFakeThreadId)); // its sample found it gone
}

TEST(MemWatcher, MemoryCountersAreRead) {
    LogCapture::instance().clear();
    MemWatcher::instance()->printMem();
    EXPECT_TRUE(logged("memory information: PWSS="));
    EXPECT_FALSE(logged(" WSS=0 "));
}

TEST(CpuUsageMonitor, BusyShareOfTheElapsedTime) {
    FakeCpuCounter* counter = new FakeCpuCounter();
    CpuUsageMonitor monitor{std::unique_ptr<CpuUsageMonitor::Counter>(counter)};
    const i64 rows[][4] = {{1000, 400, 1000, 60}, {1200, 450, 200, 75}, {1200, 450, 0, 0}};
    for (const auto& [total, idle, elapsedTicks, percent] : rows) {
        counter->total = total;
        counter->idle = idle;
        EXPECT_EQ(elapsedTicks, monitor.update());
        EXPECT_EQ(percent, monitor.cpuPercent());
    }
}
