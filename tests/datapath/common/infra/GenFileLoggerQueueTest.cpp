// The queued mode: a writer thread, the byte budget and the flush barrier.
// Stalls are made by holding the file mutex, which the writer needs for every
// item it takes off the queue.
#include "FileLoggerTestSupport.h"

#include <chrono>
#include <future>
#include <thread>

namespace {

std::string record(const char* tag, int n, size_t width) {
    std::string text = std::string(tag) + std::to_string(n);
    text.resize(width - 1, '.');
    return text + "\n";
}

size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos + 1))
        ++count;
    return count;
}

TEST(QueuedLogger, FlushReturnsWithEarlierRecordsInTheFile) {
    TempDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.path("A.log"));
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        expected += record("r", i, 40);
        logger->writeText(record("r", i, 40));
    }
    logger->flushQueue();
    EXPECT_EQ(expected, readFile(dir.path("A.log.txt")));
    EXPECT_EQ(0u, logger->tracker().usedBytes());
}

TEST(QueuedLogger, FlushWaitsForAStalledWriterWithoutLimit) {
    TempDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.path("A.log"));
    logger->fileMutex().lock();
    logger->writeText("x\n");
    std::future<void> flushed = std::async(std::launch::async, [logger] { logger->flushQueue(); });
    EXPECT_EQ(std::future_status::timeout, flushed.wait_for(std::chrono::milliseconds(50)));
    logger->fileMutex().unlock();
    flushed.get();
    EXPECT_EQ("x\n", readFile(dir.path("A.log.txt")));
}

TEST(QueuedLogger, FlushGivesUpAfterItsLimit) {
    TempDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.path("A.log"), 1, 20);
    logger->fileMutex().lock();
    logger->writeText("x\n");
    ::testing::internal::CaptureStderr();
    logger->flushQueue();
    std::string err = ::testing::internal::GetCapturedStderr();
    logger->fileMutex().unlock();
    EXPECT_EQ("Flush is not completed t_JexFlushFileMaxPeriodMs=20 \n", err);
}

TEST(QueuedLogger, OverrunPausesWithOneNoticeAndDropsUntilDrained) {
    TempDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.path("A.log"), 1);
    const size_t kWidth = 1000; // 1048 records fit in 1 MiB, the 1049th does not
    logger->fileMutex().lock();
    std::string expected;
    for (int i = 0; i < 1048; ++i) {
        expected += record("r", i, kWidth);
        logger->writeText(record("r", i, kWidth));
    }
    EXPECT_FALSE(logger->tracker().paused());
    logger->writeText(record("overrun", 0, kWidth));
    EXPECT_TRUE(logger->tracker().paused());
    logger->writeText(record("dropped", 0, 10));
    logger->fileMutex().unlock();
    logger->flushQueue();
    EXPECT_FALSE(logger->tracker().paused());
    logger->writeText("after\n");
    logger->flushQueue();

    std::string text = readFile(dir.path("A.log.txt"));
    const std::string notice = dir.path("A.log") + "-pausing logger due to OOM\n";
    ASSERT_EQ(1u, countOf(text, notice)) << text.substr(text.size() - 300);
    EXPECT_EQ(0u, countOf(text, "overrun"));
    EXPECT_EQ(0u, countOf(text, "dropped"));
    // The records that fit, then "<time>,<base name>-pausing...", then what came after the pause.
    size_t noticeAt = text.find(notice);
    EXPECT_EQ(expected, text.substr(0, expected.size()));
    EXPECT_EQ(expected.size() + 24, noticeAt); // "YYYY-MM-DD hh:mm:ss.mmm,"
    EXPECT_EQ("after\n", text.substr(noticeAt + notice.size()));
    EXPECT_EQ(0u, logger->tracker().usedBytes());
}

TEST(QueuedLogger, ThreadsWritingAndFlushingAtOnceLoseNothing) {
    TempDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.path("A.log"), 4);
    logger->setRotateSizeBytes(2048); // rotations race with producers too
    const int kThreads = 4;
    const int kRecords = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([logger, t] {
            for (int i = 0; i < kRecords; ++i) {
                logger->writeText("t" + std::to_string(t) + " " + std::to_string(i) + "\n");
                if (i % 100 == 0)
                    logger->flushQueue();
            }
        });
    for (std::thread& th : threads)
        th.join();
    logger->flushQueue();

    std::string all;
    for (const std::string& name : dir.files())
        all += readFile(dir.path(name));
    std::istringstream lines(all);
    std::vector<std::set<int>> seen(kThreads);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        int t = -1, i = -1;
        ASSERT_EQ(2, std::sscanf(line.c_str(), "t%d %d", &t, &i)) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        seen[t].insert(i);
        ++count;
    }
    EXPECT_EQ(kThreads * kRecords, count);
    for (const std::set<int>& s : seen)
        EXPECT_EQ(static_cast<size_t>(kRecords), s.size());
}

} // namespace
