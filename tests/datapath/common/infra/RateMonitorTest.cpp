#include "RateMonitor.h"
#include "ActiveObject.h"
#include "TrackedNew.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

namespace {
struct Noop : ActiveObject::Action {
    void execute() override {}
};

u32 updatesMatching(const std::string& pattern) {
    u32 n = 0;
    for (const std::string& record : LogCapture::instance().records())
        n += std::regex_search(record, std::regex(pattern));
    return n;
}
} // namespace

TEST(RateMonitor, PeriodsCloseOnTheirTaskCountAndClampTheirRates) {
    LogCapture::instance().clear();
    RateMonitor zero("RmZero", 10000000, 1);
    RateMonitor two("RmTwo", 10000000, 2);
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
        EXPECT_EQ(1u, r.tasksPerSecBusy);
        EXPECT_EQ(2u, r.itemsPerSecBusy);
        EXPECT_EQ(2u, r.tasksPerSecPeriod);
        EXPECT_EQ(4u, r.itemsPerSecPeriod);
        EXPECT_DOUBLE_EQ(1.5, r.utilisation);
    }
    EXPECT_EQ(1u, updatesMatching(",Info,\\d+,JEX,RateMonitor,update,RmZero time=0 \\(0\\) rate=4294967295 "
                                  "latency=\\[Avg: 0 Max: 0\\]\n"));
    EXPECT_EQ(
        1u, updatesMatching(",RmTwo time=1500000 \\(1000000\\) rate=2 latency=\\[Avg: 750000 Max: 1000000\\]"
                            "<bw=2000000 concurrency=\\[Min:1 Avg:1\\.5 Max:2\\]\n"));
}

TEST(RateMonitor, AnActiveObjectReportsEachBusyStretch) {
    LogCapture::instance().clear();
    bool verbose = false;
    {
        ActiveObject ao("AoRated", &verbose);
        ao.attachRateMonitor(ORV_NEW(RateMonitor)("AoRatedBusy", 10000000, 1));
        ao.open();
        for (int i = 0; i < 3; ++i) {
            ao.enqueue(ORV_NEW(Noop)());
            for (int wait = 0; wait < 5000 && updatesMatching("AoRatedBusy time=") <= static_cast<u32>(i);
                 ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_EQ(3u, updatesMatching(",JEX,RateMonitor,update,AoRatedBusy time=\\d+ \\(\\d+\\) rate=\\d+ "
                                  "latency=\\[Avg: \\d+ Max: \\d+\\]\n"));
}
