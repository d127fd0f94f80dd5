#include "HeapMemoryAllocationTracker.h"
#include "support/StderrLogEcho.h"

#include <gtest/gtest.h>

namespace {
struct Budget : ::testing::Test {
    bool disabled = false;
    HeapMemoryAllocationTracker tracker{100, 50, disabled, "A.log"};
    bool justPaused = false;
};

TEST_F(Budget, PausesOnOverrunAndResumesOnlyAtTheThreshold) {
    s8* a = tracker.allocate(40, justPaused);
    s8* b = tracker.allocate(40, justPaused);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(nullptr, tracker.allocate(21, justPaused));
    EXPECT_TRUE(justPaused);
    EXPECT_EQ(nullptr, tracker.allocate(1, justPaused)); // fits, but paused; no second pause
    EXPECT_FALSE(justPaused);
    s8* notice = tracker.allocateUnlimited(150);
    ASSERT_NE(nullptr, notice);
    tracker.release(notice, 150);
    tracker.release(a, 20); // 60 in use: still above 50
    EXPECT_EQ(nullptr, tracker.allocate(1, justPaused));
    tracker.release(b, 10); // 50 in use: resumed
    EXPECT_FALSE(tracker.paused());
    s8* c = tracker.allocate(50, justPaused); // exactly the budget
    ASSERT_NE(nullptr, c);
    tracker.release(c, 100);
}

TEST_F(Budget, DisabledTrackingCountsWithoutLimitAndIsReadLive) {
    disabled = true;
    s8* big = tracker.allocate(1000, justPaused);
    ASSERT_NE(nullptr, big);
    disabled = false;
    EXPECT_EQ(nullptr, tracker.allocate(1, justPaused));
    EXPECT_TRUE(justPaused);
    tracker.release(big, 1000);
    EXPECT_FALSE(tracker.paused());
}

using BudgetDeathTest = Budget;

TEST_F(BudgetDeathTest, ReleasingMoreThanInUseEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // other tests' writer threads may be running
    EXPECT_FAILFAST(
        tracker.release(tracker.allocate(10, justPaused), 11),
        ",Assert,.*,NON,HeapMemoryAllocationTracker,release, "
        "datapath/common/infra/HeapMemoryAllocationTracker\\.cpp .*: "
        "usedBytesBeforeFree >= \\(u32\\)lengthBytes failed\\. <A\\.log> trying to free more than "
        "allocated usedBytesBeforeFree=10  lengthBytes=11 ");
}
} // namespace
