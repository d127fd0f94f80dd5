// Rotation runs in direct mode here: the caller's thread writes, so every
// effect is visible when write() or rotateNow() returns.
#include "FileLoggerTestSupport.h"
#include "support/LogCapture.h"

#include <cstdio>

namespace {

class Rotation : public ::testing::Test {
protected:
    std::string base() const { return dir.path("A.log"); }
    std::string current() const { return base() + ".txt"; }
    std::string rotated(const char* suffix) const { return base() + suffix; }

    TempDir dir;
};

TEST_F(Rotation, FirstRotationStartsAtOneAndReopensAnEmptyFile) {
    TestFileLogger logger(base());
    logger.setRotateSizeBytes(10);
    logger.writeText("0123456789"); // exactly the size: no rotation yet
    logger.writeText("a\n");
    EXPECT_EQ((std::set<std::string>{"A.log.txt"}), dir.files());
    logger.writeText("b\n"); // the file is now above the size
    EXPECT_EQ((std::set<std::string>{"A.log.txt", "A.log000001.txt"}), dir.files());
    EXPECT_EQ("0123456789a\n", readFile(rotated("000001.txt")));
    EXPECT_EQ("b\n", readFile(current()));
}

TEST_F(Rotation, CompressedRotationAppendsGzToThePlainText) {
    TestFileLogger logger(base());
    logger.setCompressOnRotate(true);
    logger.writeText("old\n");
    logger.rotateNow();
    logger.writeText("new\n");
    EXPECT_EQ((std::set<std::string>{"A.log.txt", "A.log000001.txt.gz"}), dir.files());
    EXPECT_EQ("old\n", readFile(rotated("000001.txt.gz")));
    EXPECT_EQ("new\n", readFile(current()));
}

TEST_F(Rotation, AtTheMaximumTheLowestIndexIsRemoved) {
    writeFile(rotated("000001.txt"), "1");
    writeFile(rotated("000002.txt"), "2");
    writeFile(rotated("000003.txt"), "3");
    // Neither a folder nor another log's file takes part.
    fs::create_directory(rotated("000007.txt"));
    writeFile(dir.path("A.current.log.txt"), "other");
    TestFileLogger logger(base());
    logger.setMaxFiles(3);
    logger.writeText("4");
    logger.rotateNow();
    EXPECT_EQ((std::set<std::string>{"A.log.txt", "A.log000002.txt", "A.log000003.txt", "A.log000004.txt",
                                     "A.log000007.txt", "A.current.log.txt"}),
              dir.files());
    EXPECT_EQ("4", readFile(rotated("000004.txt")));
}

TEST_F(Rotation, IndicesSortAsNumbersAndAreWrittenInFull) {
    // Lexically "000100" sorts before "99"; by index 99 is the oldest.
    writeFile(rotated("99.txt"), "99");
    writeFile(rotated("000100.txt.gz"), "100");
    writeFile(rotated("123455.txt"), "123455");
    TestFileLogger logger(base());
    logger.setMaxFiles(3);
    logger.rotateNow();
    EXPECT_EQ(
        (std::set<std::string>{"A.log.txt", "A.log000100.txt.gz", "A.log123455.txt", "A.log123456.txt"}),
        dir.files());
    logger.rotateNow();
    EXPECT_TRUE(dir.files().count("A.log123457.txt"));
}

TEST_F(Rotation, LeftoverCompressedCurrentTakesTheLowerNewIndex) {
    writeFile(rotated("000001.txt.gz"), "1");
    writeFile(rotated("000002.txt.gz"), "2");
    writeFile(current() + ".gz", "leftover");
    TestFileLogger logger(base());
    logger.setCompressOnRotate(true);
    logger.setMaxFiles(2);
    logger.writeText("current");
    logger.rotateNow();
    // The leftover became 3 and pushed 1 out; the current file became 4.
    EXPECT_EQ((std::set<std::string>{"A.log.txt", "A.log000002.txt.gz", "A.log000003.txt.gz",
                                     "A.log000004.txt.gz"}),
              dir.files());
    EXPECT_EQ("leftover", readFile(rotated("000003.txt.gz")));
    EXPECT_EQ("current", readFile(rotated("000004.txt.gz")));
}

TEST_F(Rotation, FailedRenameIsReportedAndTheFileIsReopened) {
    fs::create_directory(rotated("000001.txt")); // the target cannot be replaced by a file
    TestFileLogger logger(base());
    // Constructing the first logger of the process loads the tweaks, which logs.
    LogCapture::instance().clear();
    logger.writeText("a\n");
    ::testing::internal::CaptureStderr();
    logger.rotateNow();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Error renaming file orig=" + current() +
                                          " target=" + rotated("000001.txt") + " err="))
        << err;
    logger.writeText("b\n");
    EXPECT_EQ("a\nb\n", readFile(current()));
    // The logger reports its own trouble outside the logging core.
    EXPECT_TRUE(LogCapture::instance().records().empty());
}

TEST_F(Rotation, UnlistableFolderLeavesTheFileGrowing) {
#if defined(_WIN32)
    GTEST_SKIP() << "a folder that holds an open file cannot be moved away on Windows";
#else
    TestFileLogger logger(base());
    logger.setRotateSizeBytes(1);
    logger.writeText("a\n");
    fs::rename(dir.path(), dir.path() + "-moved");
    ::testing::internal::CaptureStderr();
    logger.writeText("b\n");
    std::string err = ::testing::internal::GetCapturedStderr();
    fs::rename(dir.path() + "-moved", dir.path());
    EXPECT_EQ("FindFirstFile failed (2)\nfailed to enumerate files\n", err);
    EXPECT_EQ((std::set<std::string>{"A.log.txt"}), dir.files());
    EXPECT_EQ("a\nb\n", readFile(current()));
#endif
}

TEST_F(Rotation, MissingParentDisablesTheLogger) {
    std::string path = dir.path("missing") + "/logs/A.log";
    ::testing::internal::CaptureStdout();
    TestFileLogger logger(path);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Error creating directory (" + dir.path("missing") +
                                          "/logs) for logs (rt=0)GetLastError "))
        << out;
    EXPECT_NE(std::string::npos, out.find("failed to open logger file. going to work without logger\n"))
        << out;
    EXPECT_FALSE(logger.enabled());
    logger.writeText("ignored");
    logger.flushQueue();
    EXPECT_FALSE(fs::exists(dir.path("missing")));
}

} // namespace
