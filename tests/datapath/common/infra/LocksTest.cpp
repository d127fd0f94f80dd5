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
void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
} // namespace

TEST(Semaphore, WaitForTimesOutWithoutTakingAndTakesEachPostOnce) {
    Semaphore sem;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sem.waitFor(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    sem.post();
    EXPECT_TRUE(sem.waitFor(0)); // a count already there is taken at once

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i)
                sem.post();
        });
    for (int i = 0; i < 2 * 500; ++i) { // both ways of waiting, woken by other threads' posts
        sem.wait();
        EXPECT_TRUE(sem.waitFor(10000));
    }
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
    sleepMs(20);
    EXPECT_FALSE(passed.load());
    std::thread([&] { gate.unlock(); }).join();
    waiter.join();
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
    sleepMs(20);
    EXPECT_FALSE(woke.load());
    trigger.set();
    waiter.join();
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
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([] { Counted::instance(); });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(1, Counted::constructions.load());
}
