#include "Log.h"
#include "Timer.h"
#include "WindowsTimer.h"
#include "support/LogCapture.h"
#include "support/StderrLogEcho.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

const i64 kFrequency = 10000000; // 10,000 ticks per millisecond

// A counter that stands still until the test moves it.
struct FakeCounter {
    std::shared_ptr<std::atomic<i64>> ticks = std::make_shared<std::atomic<i64>>(0);

    PerformanceCounterSource source() const {
        PerformanceCounterSource s;
        s.frequency = [](i64* hz) {
            *hz = kFrequency;
            return true;
        };
        std::shared_ptr<std::atomic<i64>> t = ticks;
        s.read = [t](i64* out) {
            *out = t->load();
            return true;
        };
        return s;
    }
    void setMs(i64 ms) { ticks->store(ms * (kFrequency / 1000)); }
};

} // namespace

TEST(MonotonicGuard, SmallStepBackIsLoggedAndAnswersThePreviousValue) {
    FakeCounter counter;
    WindowsTimer timer(counter.source());
    LogCapture::instance().clear();
    i64 out = -1;
    EXPECT_EQ(0, timer.getPerformanceCounter(&out));
    counter.ticks->store(-500); // nothing was handed out before: no guard
    EXPECT_EQ(-500, timer.getPerformanceCounter(&out));

    counter.ticks->store(1000000);
    EXPECT_EQ(1000000, timer.getPerformanceCounter(&out));
    counter.ticks->store(999950);
    EXPECT_EQ(1000000, timer.getPerformanceCounter(&out));
    EXPECT_EQ(1000000, out);
    std::vector<std::string> records = LogCapture::instance().records();
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(std::string::npos, records[0].find(",Error,"));
    EXPECT_EQ(
        "New timestamp is before last timestamp:  res.QuadPart=999950  m_lastTimestamp=1000000  diff=-50 ",
        LogCapture::messageOf(records[0]));

    // Exactly the tolerance is still absorbed, measured from the last value
    // handed out, not from the smaller one just read.
    counter.ticks->store(999900);
    EXPECT_EQ(1000000, timer.getPerformanceCounter(&out));
    counter.ticks->store(1000010);
    EXPECT_EQ(1000010, timer.getPerformanceCounter(&out));
}

TEST(MonotonicGuardDeathTest, LargeStepBackEndsTheProcess) {
    EXPECT_EXIT(
        {
            echoLogToStderr();
            FakeCounter counter;
            WindowsTimer timer(counter.source());
            i64 out = 0;
            counter.ticks->store(1000000);
            timer.getPerformanceCounter(&out);
            counter.ticks->store(999850);
            timer.getPerformanceCounter(&out);
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        "failed\\. New timestamp is more than 100 ticks before last timestamp");
}

TEST(TimerDeathTest, InaccurateTimestampIsZeroUntilSomethingRefreshesIt) {
    // A fresh process: nothing in it has read the clock yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
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
    i64 ms = timer->getTimestampMs();
    i64 us = timer->getSteadyTimeUs();
    i64 ns = timer->getSteadyTimeNs();
    EXPECT_LE(ms, us / 1000);
    EXPECT_LE(us, ns / 1000);
    EXPECT_LE(ns / 1000000 - ms, 1000);
    i64 before = static_cast<i64>(std::time(nullptr)) * 1000;
    i64 utc = timer->getUtcTimeMs();
    EXPECT_GE(utc, before);
    EXPECT_LE(utc, static_cast<i64>(std::time(nullptr)) * 1000 + 1000);

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

namespace {
struct TimerProbe {
    FakeCounter* counter = nullptr;
    int calls = 0;
    i64 advanceMs = 0; // how long each call "takes"
};
void probeCallback(u64 context) {
    TimerProbe* probe = reinterpret_cast<TimerProbe*>(context);
    ++probe->calls;
    if (probe->advanceMs != 0)
        probe->counter->ticks->fetch_add(probe->advanceMs * (kFrequency / 1000));
}
u64 contextOf(TimerProbe& p) {
    return reinterpret_cast<u64>(&p);
}
} // namespace

TEST(TimerRegistry, OneShotFiresOnceAfterItsDueTime) {
    FakeCounter counter;
    counter.setMs(10000);
    WindowsTimer timer(counter.source());
    TimerProbe probe;
    timer.addTimer(&probeCallback, contextOf(probe), 100, true);

    counter.setMs(10100); // due, but not yet past due
    timer.activateTimers();
    EXPECT_EQ(0, probe.calls);
    counter.setMs(10101);
    timer.activateTimers();
    timer.activateTimers();
    EXPECT_EQ(1, probe.calls);
}

TEST(TimerRegistry, SlowPeriodicCallbackIsLoggedAndRescheduledFromTheActivationStart) {
    LogCapture::instance().clear();
    FakeCounter counter;
    counter.setMs(50000);
    WindowsTimer timer(counter.source());
    TimerProbe probe;
    probe.counter = &counter;
    probe.advanceMs = 2500;
    timer.addTimer(&probeCallback, contextOf(probe), 1000, false);

    counter.setMs(51001);
    timer.activateTimers(); // runs until 53501; next due 51001 + 1000
    EXPECT_EQ(1, probe.calls);
    EXPECT_TRUE(LogCapture::instance().hasMessage("timer invocation took more than 1 seconds!"));

    // Due again at 52001: a schedule from the callback's end (54501) would
    // not fire at 53502.
    probe.advanceMs = 0;
    counter.setMs(53502);
    timer.activateTimers();
    EXPECT_EQ(2, probe.calls);
}

TEST(TimerRegistry, ReplacingATimerCancelsTheOldOne) {
    FakeCounter counter;
    counter.setMs(1000);
    WindowsTimer timer(counter.source());
    TimerProbe oldProbe, newProbe;
    u32 old = timer.addTimer(&probeCallback, contextOf(oldProbe), 10, false);
    timer.addTimer(&probeCallback, contextOf(newProbe), 10, false, old);
    counter.setMs(2000);
    timer.activateTimers();
    timer.activateTimers();
    EXPECT_EQ(0, oldProbe.calls);
    EXPECT_EQ(1, newProbe.calls);
}
