#include "Log.h"
#include "Timer.h"
#include "WindowsTimer.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define ORV_DUP2 _dup2
#define ORV_FILENO _fileno
#else
#include <unistd.h>
#define ORV_DUP2 dup2
#define ORV_FILENO fileno
#endif

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

void stdoutToStderr() {
    std::fflush(stdout);
    ORV_DUP2(ORV_FILENO(stderr), ORV_FILENO(stdout));
}

int countMessages(const std::string& text) {
    int n = 0;
    for (const std::string& m : LogCapture::instance().messages())
        n += m == text ? 1 : 0;
    return n;
}

} // namespace

TEST(MonotonicGuard, SmallStepBackIsLoggedAndAnswersThePreviousValue) {
    LogCapture::instance().clear();
    FakeCounter counter;
    WindowsTimer timer(counter.source());
    EXPECT_EQ(10000u, timer.ticksPerMs());

    i64 out = 0;
    counter.ticks->store(1000000);
    EXPECT_EQ(1000000, timer.getPerformanceCounter(&out));
    counter.ticks->store(999950);
    EXPECT_EQ(1000000, timer.getPerformanceCounter(&out));
    EXPECT_EQ(1000000, out);
    EXPECT_EQ(1, countMessages("New timestamp is before last timestamp:  res.QuadPart=999950  "
                               "m_lastTimestamp=1000000  diff=-50 "));

    // Exactly the tolerance is still absorbed, measured from the last value
    // handed out, not from the smaller one just read.
    counter.ticks->store(999900);
    EXPECT_EQ(1000000, timer.getPerformanceCounter(&out));
    counter.ticks->store(1000010);
    EXPECT_EQ(1000010, timer.getPerformanceCounter(&out));
}

TEST(MonotonicGuard, ZeroCounterIsNeverComparedAgainst) {
    FakeCounter counter;
    WindowsTimer timer(counter.source());
    i64 out = -1;
    EXPECT_EQ(0, timer.getPerformanceCounter(&out));
    counter.ticks->store(-500); // nothing was handed out before: no guard
    EXPECT_EQ(-500, timer.getPerformanceCounter(&out));
}

TEST(MonotonicGuardDeathTest, LargeStepBackEndsTheProcess) {
    EXPECT_EXIT(
        {
            stdoutToStderr();
            FakeCounter counter;
            WindowsTimer timer(counter.source());
            i64 out = 0;
            counter.ticks->store(1000000);
            timer.getPerformanceCounter(&out);
            counter.ticks->store(999850);
            timer.getPerformanceCounter(&out);
            std::fprintf(stderr, "still running\n");
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        "diff >= -MINIMUM_ACCEPTABLE_TICKS_DIFF failed\\. New timestamp is more than 100 ticks before "
        "last timestamp\n");
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

    std::atomic<bool> backwards{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            i64 last = 0;
            for (int i = 0; i < 20000; ++i) {
                i64 now = timer->getSteadyTimeNs();
                if (now < last)
                    backwards = true;
                last = now;
                timer->getLastTimestampMs_Inaccurate(false);
            }
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_FALSE(backwards.load());
}

TEST(Timer, ReferenceTimeStartsAtTheValueSet) {
    Timer* timer = Timer::instance();
    timer->setReferenceTimeMs(5000);
    i64 ref = timer->getReferenceTimeMs();
    EXPECT_GE(ref, 5000);
    EXPECT_LT(ref, 5000 + 1000);
    EXPECT_EQ(static_cast<u32>(timer->getTimestampMs() / 10), timer->getTimestamp10Ms());
}

TEST(Timer, UtcTimeMatchesTheWallClock) {
    i64 before = static_cast<i64>(std::time(nullptr)) * 1000;
    i64 utc = Timer::instance()->getUtcTimeMs();
    i64 after = static_cast<i64>(std::time(nullptr)) * 1000 + 1000;
    EXPECT_GE(utc, before);
    EXPECT_LE(utc, after);
}

TEST(ParseUtcTimestamp, AcceptsSecondSixtyAndRejectsABlankForT) {
    std::tm t;
    ASSERT_TRUE(Timer::instance()->parseUtcTimestamp("2026-12-04T15:30:60Z", &t));
    EXPECT_EQ(60, t.tm_sec);
    EXPECT_EQ(30, t.tm_min);
    EXPECT_EQ(15, t.tm_hour);
    EXPECT_EQ(4, t.tm_mday);
    EXPECT_EQ(11, t.tm_mon);
    EXPECT_EQ(126, t.tm_year);
    EXPECT_EQ(0, t.tm_isdst);

    ::testing::internal::CaptureStdout();
    bool parsed = Timer::instance()->parseUtcTimestamp("2026-12-04 15:30:31Z", &t);
    EXPECT_EQ("failed to scan\n", ::testing::internal::GetCapturedStdout());
    EXPECT_FALSE(parsed);
}

TEST(LogTimestamp, FractionDigitsCutTheMilliseconds) {
    const UtcTime t = {2026, 12, 4, 15, 30, 31, 7};
    std::ostringstream s0, s1, s2, s3;
    formatLogTimestamp(s0, t, 0);
    formatLogTimestamp(s1, t, 1);
    formatLogTimestamp(s2, t, 2);
    formatLogTimestamp(s3, t, 3);
    EXPECT_EQ("2026-12-04 15:30:31", s0.str());
    EXPECT_EQ("2026-12-04 15:30:31.0", s1.str());
    EXPECT_EQ("2026-12-04 15:30:31.00", s2.str());
    EXPECT_EQ("2026-12-04 15:30:31.007", s3.str());
    EXPECT_EQ('0', s3.fill());
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
    u32 first = timer.addTimer(&probeCallback, contextOf(probe), 100, true);
    EXPECT_EQ(first + 1, timer.addTimer(&probeCallback, contextOf(probe), 100000, true));

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
    EXPECT_EQ(1, countMessages("timer invocation took more than 1 seconds!"));

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
