// The queued mode: a writer thread, the byte budget and the flush barrier.
// Stalls are made by holding the file mutex, which the writer needs for every
// item it takes off the queue.
#include "FileLoggerTestSupport.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <sstream>
#include <thread>

namespace {
std::string record(const char* tag, int n, size_t width) {
    std::string text = tag + std::to_string(n);
    text.resize(width - 1, '.');
    return text + "\n";
}

TEST(QueuedLogger, FlushWaitsForAStalledWriterWithoutLimitOrGivesUpAfterItsLimit) {
    TempWorkingDir dir;
    TestFileLogger* unlimited = TestFileLogger::startQueued(dir.file("A.log"));
    TestFileLogger* limited = TestFileLogger::startQueued(dir.file("B.log"), 1, 20);
    for (TestFileLogger* logger : {unlimited, limited}) {
        logger->fileMutex().lock();
        logger->writeText("x\n");
    }
    ::testing::internal::CaptureStderr();
    limited->flushQueue();
    EXPECT_EQ("Flush is not completed t_JexFlushFileMaxPeriodMs=20 \n",
              ::testing::internal::GetCapturedStderr());
    std::future<void> flushed = std::async(std::launch::async, [unlimited] { unlimited->flushQueue(); });
    EXPECT_EQ(std::future_status::timeout, flushed.wait_for(std::chrono::milliseconds(50)));
    for (TestFileLogger* logger : {unlimited, limited})
        logger->fileMutex().unlock();
    flushed.get();
    EXPECT_EQ("x\n", TempWorkingDir::readFile(dir.file("A.log.txt")));
}

TEST(QueuedLogger, OverrunPausesWithOneNoticeAndDropsUntilDrained) {
    TempWorkingDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.file("A.log"), 1);
    logger->fileMutex().lock();
    std::string expected;
    for (int i = 0; i < 1048; ++i) { // 1048 records of 1000 bytes fit in 1 MiB, the 1049th does not
        expected += record("r", i, 1000);
        logger->writeText(record("r", i, 1000));
    }
    EXPECT_FALSE(logger->tracker().paused());
    logger->writeText(record("overrun", 0, 1000));
    EXPECT_TRUE(logger->tracker().paused());
    logger->writeText("dropped\n");
    logger->fileMutex().unlock();
    logger->flushQueue();
    EXPECT_FALSE(logger->tracker().paused());
    logger->writeText("after\n");
    logger->flushQueue();

    std::string text = TempWorkingDir::readFile(dir.file("A.log.txt"));
    const std::string notice = dir.file("A.log") + "-pausing logger due to OOM\n";
    ASSERT_GE(text.size(), expected.size() + 24);
    EXPECT_EQ(expected, text.substr(0, expected.size()));
    // "YYYY-MM-DD hh:mm:ss.mmm," then the notice, once, then what came after the pause.
    EXPECT_EQ(notice + "after\n", text.substr(expected.size() + 24));
    EXPECT_EQ(0u, logger->tracker().usedBytes());
}

TEST(QueuedLogger, ThreadsWritingFlushingAndRotatingAtOnceLoseNothing) {
    TempWorkingDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.file("A.log"), 4);
    logger->setRotateSizeBytes(2048);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([logger, t] {
            for (int i = 0; i < 500; ++i) {
                logger->writeText("t" + std::to_string(t) + " " + std::to_string(i) + "\n");
                if (i % 100 == 0)
                    logger->flushQueue();
            }
        });
    for (std::thread& th : threads)
        th.join();
    logger->flushQueue();

    std::set<std::pair<int, int>> seen;
    size_t count = 0;
    for (const std::string& name : dir.files()) {
        std::istringstream lines(TempWorkingDir::readFile(dir.file(name)));
        for (std::string line; std::getline(lines, line);) {
            int t = -1, i = -1;
            ASSERT_EQ(2, std::sscanf(line.c_str(), "t%d %d", &t, &i)) << line;
            seen.insert({t, i});
            ++count;
        }
    }
    EXPECT_EQ(2000u, count);
    EXPECT_EQ(2000u, seen.size());
}
// Deferred, the writer still takes records off the queue by itself (their
// budget comes back without anyone waking it), a flush returns with
// everything in, and a record queued just as the deferral ends is never left
// asleep in the queue: the last records below are written with the deferral
// off and no flush, and the queue must still drain.
TEST(QueuedLogger, DeferredWakeupsStillDeliverEveryRecordInOrder) {
    TempWorkingDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.file("A.log"), 4);
    auto drained = [logger] {
        for (int i = 0; i < 500 && logger->tracker().usedBytes() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return logger->tracker().usedBytes() == 0;
    };
    logger->deferWakeups(true);
    logger->writeText("a\n");
    EXPECT_TRUE(drained());
    logger->writeText("b\n");
    logger->flushQueue();
    EXPECT_EQ("a\nb\n", TempWorkingDir::readFile(dir.file("A.log.txt")));

    std::string expected = "a\nb\n";
    for (int round = 0; round < 200; ++round) {
        std::thread toggler([logger, round] { logger->deferWakeups(round % 2 == 0); });
        const std::string line = "r" + std::to_string(round) + "\n";
        logger->writeText(line);
        expected += line;
        toggler.join();
    }
    logger->deferWakeups(false);
    logger->writeText("end\n");
    EXPECT_TRUE(drained());
    logger->flushQueue();
    EXPECT_EQ(expected + "end\n", TempWorkingDir::readFile(dir.file("A.log.txt")));
}
} // namespace
