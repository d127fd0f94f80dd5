#include "RateMonitor.h"
#include "ActiveObject.h"
#include "InfraTest.h"
#include "TrackedNew.h"

namespace {
struct Noop : ActiveObject::Action {
    void execute() override {}
};
} // namespace

TEST(RateMonitor, PeriodsCloseOnTheirTaskCountAndClampTheirRates) {
    LogCapture::instance().clear();
    RateMonitor zero("RmZero", 10000000, 1), two("RmTwo", 10000000, 2);
    {
        MutexGuard guard(zero.getLock());
        zero.incActiveTasksLocked(1);
        zero.addItemsLocked(3);
        zero.recordLocked(5000, 0); // no time has passed
        RateMonitor::Rates r = zero.getRatesLocked();
        for (u32 rate : {r.tasksPerSecBusy, r.itemsPerSecBusy, r.tasksPerSecPeriod, r.itemsPerSecPeriod})
            EXPECT_EQ(4294967295u, rate);
    }
    {
        MutexGuard guard(two.getLock());
        two.incActiveTasksLocked(1);
        two.incActiveTasksLocked(1);
        two.addItemsLocked(4);
        two.recordLocked(2000000, 500000);
        EXPECT_EQ(0u, two.getRatesLocked().tasksPerSecPeriod); // still open
        two.recordLocked(2500000, 1000000, 3000000);
        RateMonitor::Rates r = two.getRatesLocked();
        EXPECT_EQ((std::vector<u32>{1, 2, 2, 4}),
                  (std::vector<u32>{r.tasksPerSecBusy, r.itemsPerSecBusy, r.tasksPerSecPeriod,
                                    r.itemsPerSecPeriod}));
        EXPECT_DOUBLE_EQ(1.5, r.utilisation);
    }
    EXPECT_EQ(1u, recordsMatching(",Info,\\d+,JEX,RateMonitor,update,RmZero time=0 \\(0\\) rate=4294967295 "
                                  "latency=\\[Avg: 0 Max: 0\\]\n"));
    EXPECT_EQ(
        1u, recordsMatching(",RmTwo time=1500000 \\(1000000\\) rate=2 latency=\\[Avg: 750000 Max: 1000000\\]"
                            "<bw=2000000 concurrency=\\[Min:1 Avg:1\\.5 Max:2\\]\n"));
}

TEST(RateMonitor, AnActiveObjectReportsEachBusyStretch) {
    LogCapture::instance().clear();
    bool verbose = false;
    {
        ActiveObject ao("AoRated", &verbose);
        ao.attachRateMonitor(ORV_NEW(RateMonitor)("AoRatedBusy", 10000000, 1));
        ao.open();
        for (size_t i = 1; i <= 3; ++i) {
            ao.enqueue(ORV_NEW(Noop)());
            EXPECT_TRUE(waitUntil([i] { return recordsMatching("AoRatedBusy time=") == i; }));
        }
    }
    EXPECT_EQ(3u, recordsMatching(",JEX,RateMonitor,update,AoRatedBusy time=\\d+ \\(\\d+\\) rate=\\d+ "
                                  "latency=\\[Avg: \\d+ Max: \\d+\\]\n"));
}
