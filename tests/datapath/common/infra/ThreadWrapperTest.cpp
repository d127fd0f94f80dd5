#include "ThreadWrapper.h"
#include "Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

// Outside any namespace so that the type name reads alike on every compiler.
// Each thread blocks in run() until released, so the test sees the started
// state while the threads are alive.
class TwGatedWorker : public ThreadWrapper {
public:
    void run() override {
        ++running;
        while (!released.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++finished;
    }
    std::atomic<int> running{0};
    std::atomic<int> finished{0};
    std::atomic<bool> released{false};
};

namespace {

class NamedWorker : public ThreadWrapper {
public:
    const char* getName() override { return "NamedWorker-7"; }
    void run() override {
        threadId = Os::currentThreadId();
        nameSeen = Logger::instance()->getThreadName(threadId);
    }
    u32 threadId = 0;
    std::string nameSeen;
};

int countContaining(const std::string& fragment) {
    int n = 0;
    for (const std::string& m : LogCapture::instance().messages())
        n += m.find(fragment) != std::string::npos ? 1 : 0;
    return n;
}

void waitUntil(const std::atomic<int>& value, int expected) {
    for (int i = 0; i < 10000 && value.load() != expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

TEST(ThreadWrapper, DefaultNameIsTheClassNameOfTheMostDerivedType) {
    TwGatedWorker w;
    EXPECT_STREQ("class TwGatedWorker", w.getName());
    EXPECT_EQ(w.getName(), w.getName()); // one stored text per type
}

TEST(ThreadWrapper, TwoOpensAreBothStartedWhenWaitAllStartedReturns) {
    LogCapture::instance().clear();
    TwGatedWorker w;
    w.open();
    w.open();
    w.waitAllStarted();
    EXPECT_EQ(2, countContaining("Starting ThreadWrapper of type class TwGatedWorker "
                                 "internalId="));
    w.released = true;
    waitUntil(w.finished, 2);
    EXPECT_EQ(2, w.finished.load());
    // The "Ending" records follow run() on the same threads.
    for (int i = 0; i < 10000 && countContaining("Ending ThreadWrapper of type") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(2, countContaining("Ending ThreadWrapper of type class TwGatedWorker"));
}

TEST(ThreadWrapper, ThreadIsNamedInTheLoggerWhileRunningOnly) {
    LogCapture::instance().clear();
    NamedWorker w;
    w.open();
    w.waitAllStarted();
    for (int i = 0; i < 10000 && countContaining("Ending ThreadWrapper of type NamedWorker-7") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ("NamedWorker-7", w.nameSeen);
    EXPECT_EQ("", Logger::instance()->getThreadName(w.threadId));
    EXPECT_EQ(1, countContaining("Starting ThreadWrapper of type NamedWorker-7 internalId="));
}
