#include "Log.h"
#include "Timer.h"
#include "WindowsTimer.h"
#include "support/LogCapture.h"
#include "support/StderrLogEcho.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {
const i64 kTicksPerMs = 10000;

// A timer on a performance counter that stands still until the test moves it.
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
    u32 add(u32 intervalMs, bool oneShot, u32 existing = 0) {
        return timer.addTimer(&callback, reinterpret_cast<u64>(this), intervalMs, oneShot, existing);
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
    // Ticks read -> ticks answered. A zero counter is never compared against;
    // the tolerance of 100 is measured from the last value handed out.
    const i64 rows[][2] = {
        {0, 0}, {-500, -500}, {1000000, 1000000}, {999950, 1000000}, {999900, 1000000}, {1000010, 1000010}};
    for (const auto& row : rows)
        EXPECT_EQ(row[1], read(row[0])) << row[0];
    std::vector<std::string> records = LogCapture::instance().records();
    ASSERT_EQ(2u, records.size());
    EXPECT_NE(std::string::npos, records[0].find(",Error,"));
    EXPECT_EQ(
        "New timestamp is before last timestamp:  res.QuadPart=999950   m_lastTimestamp=1000000   diff=-50 ",
        LogCapture::messageOf(records[0]));
    EXPECT_FAILFAST(read(999909), "failed\\. New timestamp is more than 100 ticks before last timestamp");
}

TEST_F(FakeClock, OneShotFiresOnceAfterItsDueTime) {
    activateAtMs(10000);
    add(100, true);
    activateAtMs(10100); // due, but not yet past due
    EXPECT_EQ(0, calls);
    activateAtMs(10101);
    activateAtMs(10101);
    EXPECT_EQ(1, calls);
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

TEST_F(FakeClock, ReplacingATimerCancelsTheOldOne) {
    activateAtMs(1000);
    u32 old = add(10, false);
    int replacementCalls = 0;
    timer.addTimer([](u64 c) { ++*reinterpret_cast<int*>(c); }, reinterpret_cast<u64>(&replacementCalls), 10,
                   false, old);
    activateAtMs(2000);
    activateAtMs(2000);
    EXPECT_EQ(0, calls);
    EXPECT_EQ(1, replacementCalls);
}

TEST(TimerDeathTest, InaccurateTimestampIsZeroUntilSomethingRefreshesIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT( // a fresh process, where nothing has read the clock yet
        {
            Timer* timer = Timer::instance();
            bool ok = timer->getLastTimestampMs_Inaccurate(true) == 0;
            i64 refreshed = timer->getLastTimestampMs_Inaccurate(false);
            ok = ok && refreshed > 0 && timer->getLastTimestampMs_Inaccurate(true) == refreshed;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Timer, ClocksAgreeAndNeverGoBackAcrossThreads) {
    Timer* timer = Timer::instance();
    i64 ms = timer->getTimestampMs(), us = timer->getSteadyTimeUs(), ns = timer->getSteadyTimeNs();
    EXPECT_TRUE(ms <= us / 1000 && us <= ns / 1000 && ns / 1000000 - ms <= 1000)
        << ms << " " << us << " " << ns;
    i64 before = static_cast<i64>(std::time(nullptr)) * 1000, utc = timer->getUtcTimeMs();
    EXPECT_TRUE(utc >= before && utc <= before + 2000) << utc;

    std::atomic<bool> backwards{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            i64 last = 0;
            for (int i = 0; i < 20000; ++i) {
                i64 now = timer->getSteadyTimeNs();
                backwards = backwards || now < last;
                last = now;
                timer->getLastTimestampMs_Inaccurate(false);
            }
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_FALSE(backwards.load());
}

TEST(ParseUtcTimestamp, AcceptsSecondSixtyAndRejectsABlankForT) {
    std::tm t;
    ASSERT_TRUE(Timer::instance()->parseUtcTimestamp("2026-12-04T15:30:60Z", &t));
    char fields[64];
    std::snprintf(fields, sizeof fields, "%d-%d-%d %d:%d:%d dst=%d", t.tm_year, t.tm_mon, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, t.tm_isdst);
    EXPECT_STREQ("126-11-4 15:30:60 dst=0", fields);

    ::testing::internal::CaptureStdout();
    bool parsed = Timer::instance()->parseUtcTimestamp("2026-12-04 15:30:31Z", &t);
    EXPECT_EQ("failed to scan\n", ::testing::internal::GetCapturedStdout());
    EXPECT_FALSE(parsed);
}

TEST(LogTimestamp, FractionDigitsCutTheMilliseconds) {
    const UtcTime t = {2026, 12, 4, 15, 30, 31, 7};
    for (int digits : {0, 2, 3}) {
        std::ostringstream s;
        formatLogTimestamp(s, t, digits);
        EXPECT_EQ(std::string("2026-12-04 15:30:31.007").substr(0, digits ? 20 + digits : 19), s.str());
    }
}

TEST(LogTimestamp, CalendarOfUnixTimeAcrossLeapRules) {
    const struct {
        i64 seconds;
        const char* text;
    } rows[] = {{0, "1970-01-01 00:00:00"},          {-1, "1969-12-31 23:59:59"},
                {951782400, "2000-02-29 00:00:00"},  {1709251199, "2024-02-29 23:59:59"},
                {4107542400, "2100-03-01 00:00:00"}, {1796653831, "2026-12-07 14:30:31"}};
    for (const auto& row : rows) {
        std::ostringstream s;
        formatLogTimestamp(s, Os::utcFromUnixTime(row.seconds, 0), 0);
        EXPECT_EQ(row.text, s.str()) << row.seconds;
    }
}
