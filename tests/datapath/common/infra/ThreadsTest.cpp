#include "InfraTest.h"
#include "Semaphore.h"
#include "Singleton.h"
#include "ThreadWrapper.h"

// Outside any namespace so that its default name reads alike on every compiler.
class TwGatedWorker : public ThreadWrapper {
public:
    void run() override {
        waitUntil([this] { return released.load(); });
    }
    std::atomic<bool> released{false};
};

namespace {
struct Counted : Singleton<Counted> {
    Counted() { ++constructions; }
    static inline std::atomic<int> constructions{0};
};
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

TEST(Singleton, ConcurrentFirstUseCreatesOneInstance) {
    onThreads(8, [](int) { Counted::instance(); });
    EXPECT_EQ(1, Counted::constructions.load());
}

TEST(ThreadWrapper, OpensHaveStartedWhenWaitAllStartedReturns) {
    LogCapture::instance().clear();
    TwGatedWorker w;
    w.open();
    w.open();
    w.waitAllStarted();
    EXPECT_EQ(2u, recordsMatching("Starting ThreadWrapper of type class TwGatedWorker internalId="));
    w.released = true;
    EXPECT_TRUE(
        waitUntil([&] { return recordsMatching("Ending ThreadWrapper of type class TwGatedWorker") == 2; }));
}
