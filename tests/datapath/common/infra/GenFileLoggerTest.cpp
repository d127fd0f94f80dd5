// A queued logger's stalls are made by holding the file mutex, which its writer needs.
#include "GenFileLogger.h"
#include "HeapMemoryAllocationTracker.h"
#include "InfraTest.h"
#include "Tweaks.h"

#include <filesystem>

namespace {
class TestFileLogger : public GenFileLogger {
public:
    explicit TestFileLogger(const std::string& path, u32 memoryLimitMb = 1)
        : GenFileLogger(path, memoryLimitMb, false) {}

    static TestFileLogger* startQueued(const std::string& path, u32 memoryLimitMb = 1, u32 flushLimitMs = 0) {
        static std::vector<TestFileLogger*> s_kept;
        s_kept.push_back(new TestFileLogger(path, memoryLimitMb));
        s_kept.back()->setFlushEveryLine(false);
        s_kept.back()->setFlushWaitLimitMs(flushLimitMs);
        s_kept.back()->startWriter();
        return s_kept.back();
    }

    void writeText(const std::string& text) { write(text.data(), static_cast<u32>(text.size())); }

    using GenFileLogger::fileMutex;
    using GenFileLogger::rotateNow;
    using GenFileLogger::setMaxFiles;
    using GenFileLogger::setRotateSizeBytes;
    using GenFileLogger::tracker;
};

std::string record(const std::string& tag) {
    return tag + std::string(999 - tag.size(), '.') + "\n";
}

typedef std::set<std::string> Names;

struct Rotation : ::testing::Test {
    std::string base(const std::string& suffix = "") const { return dir.file("A.log" + suffix); }
    // Loading the tweaks leaves a folder in the working directory: not in this one.
    bool tweaksLoaded = (Tweaks::instance(), true);
    TempWorkingDir dir;
};
} // namespace

TEST(LoggerBudget, PausesOnOverrunAndResumesOnlyAtTheThreshold) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // other tests' writer threads may be running
    bool disabled = false, justPaused = false;
    HeapMemoryAllocationTracker tracker{100, 50, disabled, "A.log"};
    s8* a = tracker.allocate(40, justPaused);
    s8* b = tracker.allocate(40, justPaused);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(nullptr, tracker.allocate(21, justPaused));
    EXPECT_TRUE(justPaused);
    EXPECT_EQ(nullptr, tracker.allocate(1, justPaused)); // fits, but paused; no second pause
    EXPECT_FALSE(justPaused);
    tracker.release(a, 20); // 60 in use: still above 50
    EXPECT_EQ(nullptr, tracker.allocate(1, justPaused));
    tracker.release(b, 10); // 50 in use: resumed
    EXPECT_FALSE(tracker.paused());
    s8* c = tracker.allocate(50, justPaused); // exactly the budget
    ASSERT_NE(nullptr, c);
    tracker.release(c, 100);
    EXPECT_FAILFAST(tracker.release(tracker.allocate(10, justPaused), 11),
                    ",release, .*: usedBytesBeforeFree >= \\(u32\\)lengthBytes failed\\. <A\\.log> trying to "
                    "free more than allocated usedBytesBeforeFree=10  lengthBytes=11 ");
}

TEST(QueuedLogger, FlushGivesUpOnAStalledWriterAfterItsLimit) {
    TempWorkingDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.file("A.log"), 1, 20);
    logger->fileMutex().lock();
    logger->writeText("x\n");
    ::testing::internal::CaptureStderr();
    logger->flushQueue();
    EXPECT_EQ("Flush is not completed t_JexFlushFileMaxPeriodMs=20 \n",
              ::testing::internal::GetCapturedStderr());
    logger->fileMutex().unlock();
}

TEST(QueuedLogger, OverrunPausesWithOneNoticeAndDropsUntilDrained) {
    TempWorkingDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.file("A.log"), 1);
    logger->fileMutex().lock();
    std::string expected;
    for (int i = 0; i < 1048; ++i) { // 1048 records of 1000 bytes fit in 1 MiB, the 1049th does not
        expected += record("r" + std::to_string(i));
        logger->writeText(record("r" + std::to_string(i)));
    }
    EXPECT_FALSE(logger->tracker().paused());
    logger->writeText(record("overrun"));
    EXPECT_TRUE(logger->tracker().paused());
    logger->writeText("dropped\n");
    logger->fileMutex().unlock();
    logger->flushQueue();
    EXPECT_FALSE(logger->tracker().paused());
    logger->writeText("after\n");
    logger->flushQueue();

    std::string text = TempWorkingDir::readFile(dir.file("A.log.txt"));
    ASSERT_GE(text.size(), expected.size() + 24);
    EXPECT_EQ(expected, text.substr(0, expected.size()));
    // "YYYY-MM-DD hh:mm:ss.mmm," then the notice, once, then what came after the pause.
    EXPECT_EQ(dir.file("A.log") + "-pausing logger due to OOM\nafter\n", text.substr(expected.size() + 24));
    EXPECT_EQ(0u, logger->tracker().usedBytes());
}

TEST(QueuedLogger, ThreadsWritingFlushingAndRotatingAtOnceLoseNothing) {
    TempWorkingDir dir;
    TestFileLogger* logger = TestFileLogger::startQueued(dir.file("A.log"), 4);
    logger->setRotateSizeBytes(2048);
    onThreads(4, [logger](int t) {
        for (int i = 0; i < 500; ++i) {
            logger->writeText("t" + std::to_string(t) + " " + std::to_string(i) + "\n");
            if (i % 100 == 0)
                logger->flushQueue();
        }
    });
    logger->flushQueue();
    std::set<std::pair<int, int>> seen;
    size_t count = 0;
    for (const std::string& name : dir.files()) {
        std::istringstream lines(TempWorkingDir::readFile(dir.file(name)));
        for (std::string line; std::getline(lines, line); ++count) {
            int t = -1, i = -1;
            ASSERT_EQ(2, std::sscanf(line.c_str(), "t%d %d", &t, &i)) << line;
            seen.insert({t, i});
        }
    }
    EXPECT_EQ(2000u, count);
    EXPECT_EQ(2000u, seen.size());
}

TEST_F(Rotation, FirstRotationStartsAtOneOnceTheFileIsAboveTheSize) {
    TestFileLogger logger(base());
    logger.setRotateSizeBytes(10);
    logger.writeText("0123456789");
    logger.writeText("a\n");
    EXPECT_EQ(Names{"A.log.txt"}, dir.files());
    logger.writeText("b\n");
    EXPECT_EQ((Names{"A.log.txt", "A.log000001.txt"}), dir.files());
    EXPECT_EQ("0123456789a\n", TempWorkingDir::readFile(base("000001.txt")));
    EXPECT_EQ("b\n", TempWorkingDir::readFile(base(".txt")));
}

// Indices sort as numbers: "99" is older than "000100".
TEST_F(Rotation, AtTheMaximumTheLowestIndicesGoAndOtherEntriesStay) {
    for (const char* name : {"99.txt", "000100.txt.gz", "123455.txt"})
        TempWorkingDir::writeFile(base(name), name);
    std::filesystem::create_directory(base("000007.txt")); // lower, but not a file
    TempWorkingDir::writeFile(dir.file("A.current.log.txt"), "other");
    TestFileLogger logger(base());
    logger.setMaxFiles(3);
    logger.writeText("new");
    logger.rotateNow();
    EXPECT_EQ((Names{"A.log.txt", "A.log000007.txt", "A.log000100.txt.gz", "A.log123455.txt",
                     "A.log123456.txt", "A.current.log.txt"}),
              dir.files());
    EXPECT_EQ("new", TempWorkingDir::readFile(base("123456.txt")));
}

TEST_F(Rotation, FailedRenameIsReportedOutsideTheLogAndTheFileIsReopened) {
    std::filesystem::create_directory(base("000001.txt"));
    TestFileLogger logger(base());
    LogCapture::instance().clear();
    logger.writeText("a\n");
    ::testing::internal::CaptureStderr();
    logger.rotateNow();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Error renaming file orig=" + base(".txt") +
                                          " target=" + base("000001.txt") + " err="))
        << err;
    logger.writeText("b\n");
    EXPECT_EQ("a\nb\n", TempWorkingDir::readFile(base(".txt")));
    EXPECT_TRUE(LogCapture::instance().records().empty());
}
