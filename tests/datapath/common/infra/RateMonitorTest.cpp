#include "RateMonitor.h"
#include "InfraTest.h"

TEST(RateMonitor, APeriodClosesOnItsTaskCountWithItsRates) {
    LogCapture::instance().clear();
    RateMonitor two("RmTwo", 10000000, 2);
    MutexGuard guard(two.getLock());
    two.incActiveTasksLocked(1);
    two.incActiveTasksLocked(1);
    two.addItemsLocked(4);
    two.recordLocked(2000000, 500000);
    EXPECT_EQ(0u, two.getRatesLocked().tasksPerSecPeriod); // still open
    two.recordLocked(2500000, 1000000, 3000000);
    RateMonitor::Rates r = two.getRatesLocked();
    EXPECT_EQ((std::vector<u32>{1, 2, 2, 4}), (std::vector<u32>{r.tasksPerSecBusy, r.itemsPerSecBusy,
                                                                r.tasksPerSecPeriod, r.itemsPerSecPeriod}));
    EXPECT_DOUBLE_EQ(1.5, r.utilisation);
    EXPECT_EQ(
        1u, recordsMatching(",RmTwo time=1500000 \\(1000000\\) rate=2 latency=\\[Avg: 750000 Max: 1000000\\]"
                            "<bw=2000000 concurrency=\\[Min:1 Avg:1\\.5 Max:2\\]\n"));
}
