#include "ThreadWrapper.h"
#include "Log.h"
#include "MemWatcher.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

// Outside any namespace so that the default name (its class name) reads alike
// on every compiler. Each thread blocks in run() until released.
class TwGatedWorker : public ThreadWrapper {
public:
    void run() override {
        while (!released.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

// Waits until `count` log messages contain `fragment`; returns how many there are.
int waitForMessages(const std::string& fragment, int count) {
    for (int i = 0;; ++i) {
        int n = 0;
        for (const std::string& m : LogCapture::instance().messages())
            n += m.find(fragment) != std::string::npos ? 1 : 0;
        if (n >= count || i == 10000)
            return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
} // namespace

TEST(ThreadWrapper, OpensHaveStartedWhenWaitAllStartedReturnsAndANamedThreadIsWatchedWhileRunning) {
    LogCapture::instance().clear();
    TwGatedWorker w;
    w.open();
    w.open();
    w.waitAllStarted();
    EXPECT_EQ(2, waitForMessages("Starting ThreadWrapper of type class TwGatedWorker internalId=", 0));
    w.released = true;
    EXPECT_EQ(2, waitForMessages("Ending ThreadWrapper of type class TwGatedWorker", 2));

    NamedWorker named; // named and watched while running only
    named.open();
    named.waitAllStarted();
    EXPECT_EQ(1, waitForMessages("Ending ThreadWrapper of type NamedWorker-7", 1));
    EXPECT_EQ("NamedWorker-7", named.nameSeen);
    EXPECT_EQ("", Logger::instance()->getThreadName(named.threadId));
    EXPECT_EQ(1, named.watched);
    EXPECT_EQ(0, NamedWorker::watchedThreads(named.threadId));
}
