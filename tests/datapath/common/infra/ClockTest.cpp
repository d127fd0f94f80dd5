#include "InfraTest.h"
#include "Log.h"
#include "Timer.h"
#include "WindowsTimer.h"

namespace {
const i64 kTicksPerMs = 10000;

struct FakeClock : ::testing::Test {
    std::atomic<i64> ticks{0};
    WindowsTimer timer{PerformanceCounterSource{[](i64* hz) { return *hz = kTicksPerMs * 1000, true; },
                                                [this](i64* out) { return *out = ticks, true; }}};
    int calls = 0;
    i64 callbackTakesMs = 0;

    i64 read(i64 at) {
        ticks = at;
        i64 out = 0;
        return timer.getPerformanceCounter(&out);
    }
    void activateAtMs(i64 ms) {
        ticks = ms * kTicksPerMs;
        timer.activateTimers();
    }
    u32 add(u32 intervalMs, bool oneShot) {
        return timer.addTimer(&callback, reinterpret_cast<u64>(this), intervalMs, oneShot);
    }
    static void callback(u64 context) {
        FakeClock* self = reinterpret_cast<FakeClock*>(context);
        ++self->calls;
        self->ticks += self->callbackTakesMs * kTicksPerMs;
    }
};
} // namespace

TEST_F(FakeClock, SmallStepBackIsLoggedAndAnswersThePreviousValueLargeOneEndsTheProcess) {
    LogCapture::instance().clear();
    // The tolerance of 100 ticks is measured from the last value handed out.
    const i64 rows[][2] = {{1000000, 1000000}, {999950, 1000000}, {999900, 1000000}, {1000010, 1000010}};
    for (const auto& [at, answer] : rows)
        EXPECT_EQ(answer, read(at)) << at;
    EXPECT_EQ(2u, LogCapture::instance().records().size()); // one for each step back
    EXPECT_EQ(1u,
              recordsMatching(",Error,.*,New timestamp is before last timestamp:  res\\.QuadPart=999950   "
                              "m_lastTimestamp=1000000   diff=-50 \n"));
    EXPECT_FAILFAST(read(999909), "failed\\. New timestamp is more than 100 ticks before last timestamp");
}

TEST_F(FakeClock, OneShotFiresOnceOnlyPastItsDueTimeAndAReplacementCancelsTheOldTimer) {
    activateAtMs(10000);
    add(100, true);
    activateAtMs(10100); // due, but not yet past due
    EXPECT_EQ(0, calls);
    activateAtMs(10101);
    activateAtMs(10101);
    EXPECT_EQ(1, calls);

    u32 old = add(10, false);
    int replacementCalls = 0;
    timer.addTimer([](u64 c) { ++*reinterpret_cast<int*>(c); }, reinterpret_cast<u64>(&replacementCalls), 10,
                   false, old);
    activateAtMs(12000);
    activateAtMs(12000);
    EXPECT_EQ(1, calls);
    EXPECT_EQ(1, replacementCalls);
}

TEST_F(FakeClock, SlowPeriodicCallbackIsLoggedAndRescheduledFromTheActivationStart) {
    LogCapture::instance().clear();
    activateAtMs(50000);
    add(1000, false);
    callbackTakesMs = 2500;
    activateAtMs(51001); // runs until 53501; next due 51001 + 1000
    EXPECT_EQ(1, calls);
    EXPECT_TRUE(LogCapture::instance().hasMessage("timer invocation took more than 1 seconds!"));
    callbackTakesMs = 0;
    activateAtMs(53502); // a schedule from the callback's end (54501) would not fire yet
    EXPECT_EQ(2, calls);
}

TEST(Timer, ClocksAgreeAndNeverGoBackAcrossThreads) {
    Timer* timer = Timer::instance();
    i64 ms = timer->getTimestampMs(), us = timer->getSteadyTimeUs(), ns = timer->getSteadyTimeNs();
    EXPECT_TRUE(ms <= us / 1000 && us <= ns / 1000 && ns / 1000000 - ms <= 1000)
        << ms << " " << us << " " << ns;

    std::atomic<bool> backwards{false};
    onThreads(4, [&](int) {
        for (i64 i = 0, last = 0, now; i < 20000; ++i, last = now) {
            now = timer->getSteadyTimeNs();
            backwards = backwards || now < last;
            timer->getLastTimestampMs_Inaccurate(false);
        }
    });
    EXPECT_FALSE(backwards.load());
}

TEST(LogTimestamp, CalendarOfUnixTimeAcrossLeapRulesAndFractionDigits) {
    const std::tuple<i64, u32, u32, const char*> rows[] = {{0, 0, 0, "1970-01-01 00:00:00"},
                                                           {951782400, 0, 0, "2000-02-29 00:00:00"},
                                                           {1709251199, 0, 0, "2024-02-29 23:59:59"},
                                                           {4107542400, 0, 0, "2100-03-01 00:00:00"},
                                                           {1796653831, 7, 3, "2026-12-07 14:30:31.007"}};
    for (const auto& [seconds, ms, fractionDigits, text] : rows) {
        std::ostringstream s;
        formatLogTimestamp(s, Os::utcFromUnixTime(seconds, ms), fractionDigits);
        EXPECT_EQ(text, s.str()) << seconds;
    }
}
