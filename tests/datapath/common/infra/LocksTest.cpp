#include "Mutex.h"
#include "Semaphore.h"
#include "Singleton.h"
#include "Trigger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

TEST(Semaphore, WaitForTimesOutWithoutTakingAndSucceedsOnPost) {
    Semaphore sem;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(sem.waitFor(30));
    EXPECT_GE(msSince(start), 30);

    sem.post();
    EXPECT_TRUE(sem.waitFor(0)); // a count already there is taken at once
    EXPECT_FALSE(sem.waitFor(0));

    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sem.post();
    });
    EXPECT_TRUE(sem.waitFor(10000));
    poster.join();
    EXPECT_FALSE(sem.waitFor(0)); // exactly one count was posted and taken
}

TEST(Semaphore, CountsEveryPostAcrossThreads) {
    Semaphore sem;
    const int kThreads = 4, kPosts = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kPosts; ++i)
                sem.post();
        });
    for (int i = 0; i < kThreads * kPosts; ++i)
        sem.wait();
    for (std::thread& t : threads)
        t.join();
    EXPECT_FALSE(sem.waitFor(0));
}

TEST(UnownedMutex, IsReleasedByAnotherThread) {
    UnownedMutex gate;
    gate.lock();
    std::atomic<bool> passed{false};
    std::thread waiter([&] {
        MutexGuard guard(gate);
        passed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(passed.load());
    std::thread([&] { gate.unlock(); }).join();
    waiter.join();
    EXPECT_TRUE(passed.load());
}

TEST(Trigger, AutoResetsAndKeepsOneSetForALaterWait) {
    Trigger trigger;
    trigger.set();
    trigger.set();
    trigger.wait(); // the earlier sets are remembered as one

    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        trigger.wait();
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke.load()); // the second set() above did not count twice
    trigger.set();
    waiter.join();
    EXPECT_TRUE(woke.load());
}

namespace {
class Counted : public Singleton<Counted> {
    friend class Singleton<Counted>;
    Counted() { ++constructions; }

public:
    static std::atomic<int> constructions;
};
std::atomic<int> Counted::constructions{0};
} // namespace

TEST(Singleton, ConcurrentFirstUseCreatesOneInstance) {
    std::vector<std::thread> threads;
    std::vector<Counted*> seen(8, nullptr);
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = Counted::instance(); });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(1, Counted::constructions.load());
    for (Counted* p : seen)
        EXPECT_EQ(Counted::instance(), p);
}
