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

// An unowned mutex is released by another thread; a trigger auto-resets and
// keeps the earlier sets as one for a later wait.
TEST(Gates, WaiterPassesOnlyOnceAnotherThreadOpens) {
    UnownedMutex gate;
    gate.lock();
    Trigger trigger;
    trigger.set();
    trigger.set();
    trigger.wait();
    std::atomic<int> passed{0};
    std::thread mutexWaiter([&] {
        MutexGuard guard(gate);
        ++passed;
    });
    std::thread triggerWaiter([&] {
        trigger.wait();
        ++passed;
    });
    sleepMs(20);
    EXPECT_EQ(0, passed.load());
    std::thread([&] { gate.unlock(); }).join();
    mutexWaiter.join();
    EXPECT_EQ(1, passed.load());
    trigger.set();
    triggerWaiter.join();
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
