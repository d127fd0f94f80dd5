#include "InfraTest.h"
#include "Log.h"
#include "MemWatcher.h"
#include "Mutex.h"
#include "Semaphore.h"
#include "Singleton.h"
#include "ThreadWrapper.h"
#include "Trigger.h"

// Outside any namespace so that the default name (its class name) reads alike
// on every compiler. Each thread blocks in run() until released.
class TwGatedWorker : public ThreadWrapper {
public:
    void run() override {
        waitUntil([this] { return released.load(); });
    }
    std::atomic<bool> released{false};
};

namespace {
class NamedWorker : public ThreadWrapper {
public:
    const char* getName() override { return "NamedWorker-7"; }
    void run() override {
        threadId = Os::currentThreadId();
        nameSeen = Logger::instance()->getThreadName(threadId);
        watched = watchedThreads(threadId);
    }
    static int watchedThreads(u32 id) {
        int n = 0;
        MemWatcher::instance()->iterateThreads([&](i32 t, u64) { n += static_cast<u32>(t) == id; });
        return n;
    }
    u32 threadId = 0;
    std::string nameSeen;
    int watched = 0;
};

class Counted : public Singleton<Counted> {
    friend class Singleton<Counted>;
    Counted() { ++constructions; }

public:
    static std::atomic<int> constructions;
};
std::atomic<int> Counted::constructions{0};
} // namespace

TEST(Semaphore, WaitForTimesOutWithoutTakingAndTakesEachPostOnce) {
    Semaphore sem;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sem.waitFor(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    sem.post();
    EXPECT_TRUE(sem.waitFor(0)); // a count already there is taken at once
    onThreads(5, [&](int t) {
        for (int i = 0; i < 1000 && t == 4; ++i) { // both ways of waiting, woken by the posters
            sem.wait();
            EXPECT_TRUE(sem.waitFor(10000));
        }
        for (int i = 0; i < 500 && t != 4; ++i)
            sem.post();
    });
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
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0, passed.load());
    std::thread([&] { gate.unlock(); }).join();
    mutexWaiter.join();
    EXPECT_EQ(1, passed.load());
    trigger.set();
    triggerWaiter.join();
}

TEST(Singleton, ConcurrentFirstUseCreatesOneInstance) {
    onThreads(8, [](int) { Counted::instance(); });
    EXPECT_EQ(1, Counted::constructions.load());
}

TEST(ThreadWrapper, OpensHaveStartedWhenWaitAllStartedReturnsAndANamedThreadIsWatchedWhileRunning) {
    LogCapture::instance().clear();
    TwGatedWorker w;
    w.open();
    w.open();
    w.waitAllStarted();
    EXPECT_EQ(2u, recordsMatching("Starting ThreadWrapper of type class TwGatedWorker internalId="));
    w.released = true;
    EXPECT_TRUE(
        waitUntil([&] { return recordsMatching("Ending ThreadWrapper of type class TwGatedWorker") == 2; }));

    NamedWorker named; // named and watched while running only
    named.open();
    named.waitAllStarted();
    EXPECT_TRUE(
        waitUntil([&] { return recordsMatching("Ending ThreadWrapper of type NamedWorker-7") == 1; }));
    EXPECT_EQ("NamedWorker-7", named.nameSeen);
    EXPECT_EQ("", Logger::instance()->getThreadName(named.threadId));
    EXPECT_EQ(1, named.watched);
    EXPECT_EQ(0, NamedWorker::watchedThreads(named.threadId));
}
