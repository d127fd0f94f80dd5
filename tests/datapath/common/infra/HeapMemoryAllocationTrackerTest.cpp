#include "HeapMemoryAllocationTracker.h"
#include "Log.h"

#include <gtest/gtest.h>

#include <cstdio>

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
    // Paused: even a request that would fit is refused, without a new pause.
    EXPECT_EQ(nullptr, tracker.allocate(1, justPaused));
    EXPECT_FALSE(justPaused);
    tracker.release(a, 20); // 60 in use: still above 50
    EXPECT_TRUE(tracker.paused());
    EXPECT_EQ(nullptr, tracker.allocate(1, justPaused));
    tracker.release(b, 10); // 50 in use: resumed
    EXPECT_FALSE(tracker.paused());
    s8* c = tracker.allocate(50, justPaused); // exactly the budget
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(100u, tracker.usedBytes());
    tracker.release(c, 100);
}

TEST_F(Budget, UnlimitedRequestsIgnoreBudgetAndPause) {
    EXPECT_EQ(nullptr, tracker.allocate(101, justPaused));
    s8* notice = tracker.allocateUnlimited(150);
    ASSERT_NE(nullptr, notice);
    EXPECT_EQ(150u, tracker.usedBytes());
    tracker.release(notice, 150);
    EXPECT_FALSE(tracker.paused());
}

TEST_F(Budget, DisabledTrackingCountsWithoutLimitAndIsReadLive) {
    disabled = true;
    s8* big = tracker.allocate(1000, justPaused);
    ASSERT_NE(nullptr, big);
    EXPECT_EQ(1000u, tracker.usedBytes());
    disabled = false;
    EXPECT_EQ(nullptr, tracker.allocate(1, justPaused));
    EXPECT_TRUE(justPaused);
    tracker.release(big, 1000);
    EXPECT_FALSE(tracker.paused());
}

// Sends every record to standard error, where the death test looks.
class StderrClient : public LoggerClient {
public:
    void write(const std::string& record) override {
        std::fputs(record.c_str(), stderr);
        std::fflush(stderr); // the process ends without flushing anything
    }
};

TEST(BudgetDeathTest, ReleasingMoreThanInUseEndsTheProcess) {
    // Other tests' writer threads are running: start the child afresh, and
    // leave the style as it was for the suites that follow.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static StderrClient client;
            Logger::instance()->registerClient(&client, kAllLevelsMask);
            bool disabled = false;
            bool justPaused = false;
            HeapMemoryAllocationTracker tracker(100, 80, disabled, "A.log");
            s8* buffer = tracker.allocate(10, justPaused);
            tracker.release(buffer, 11);
        },
        ::testing::ExitedWithCode(3),
        // Kept to what both the POSIX and the Windows "simple" regular expressions read.
        ",Assert,.*,NON,HeapMemoryAllocationTracker,release, "
        "datapath/common/infra/HeapMemoryAllocationTracker\\.cpp .*: "
        "usedBytesBeforeFree >= \\(u32\\)lengthBytes failed\\. <A\\.log> trying to free more than allocated "
        "usedBytesBeforeFree=10  lengthBytes=11 ");
    GTEST_FLAG_SET(death_test_style, style);
}

} // namespace
