// Rotation runs in direct mode here: the caller's thread writes, so every
// effect is visible when write() or rotateNow() returns.
#include "FileLoggerTestSupport.h"
#include "Tweaks.h"
#include "support/LogCapture.h"

namespace {
typedef std::set<std::string> Names;

class Rotation : public ::testing::Test {
protected:
    std::string base(const char* suffix = "") const { return dir.file(std::string("A.log") + suffix); }
    // The first file logger of a process loads the tweaks, which leaves a
    // folder in the working directory: not in this one.
    bool tweaksLoaded = (Tweaks::instance(), true);
    TempWorkingDir dir;
};

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

TEST_F(Rotation, AtTheMaximumTheLowestIndexIsRemovedAndOtherEntriesAreLeftAlone) {
    for (const char* index : {"1", "2", "3"})
        TempWorkingDir::writeFile(base((std::string("00000") + index + ".txt").c_str()), index);
    std::filesystem::create_directory(base("000007.txt"));
    TempWorkingDir::writeFile(dir.file("A.current.log.txt"), "other");
    TestFileLogger logger(base());
    logger.setMaxFiles(3);
    logger.writeText("4");
    logger.rotateNow();
    EXPECT_EQ((Names{"A.log.txt", "A.log000002.txt", "A.log000003.txt", "A.log000004.txt", "A.log000007.txt",
                     "A.current.log.txt"}),
              dir.files());
    EXPECT_EQ("4", TempWorkingDir::readFile(base("000004.txt")));
}

TEST_F(Rotation, IndicesSortAsNumbersAndAreWrittenInFull) {
    TempWorkingDir::writeFile(base("99.txt"), "99"); // lexically after "000100", by index the oldest
    TempWorkingDir::writeFile(base("000100.txt.gz"), "100");
    TempWorkingDir::writeFile(base("123455.txt"), "123455");
    TestFileLogger logger(base());
    logger.setMaxFiles(3);
    logger.rotateNow();
    EXPECT_EQ((Names{"A.log.txt", "A.log000100.txt.gz", "A.log123455.txt", "A.log123456.txt"}), dir.files());
}

TEST_F(Rotation, LeftoverCompressedCurrentTakesTheLowerNewIndex) {
    TempWorkingDir::writeFile(base("000001.txt.gz"), "1");
    TempWorkingDir::writeFile(base("000002.txt.gz"), "2");
    TempWorkingDir::writeFile(base(".txt.gz"), "leftover");
    TestFileLogger logger(base());
    logger.setCompressOnRotate(true);
    logger.setMaxFiles(2);
    logger.writeText("current");
    logger.rotateNow();
    EXPECT_EQ((Names{"A.log.txt", "A.log000002.txt.gz", "A.log000003.txt.gz", "A.log000004.txt.gz"}),
              dir.files());
    EXPECT_EQ("leftover", TempWorkingDir::readFile(base("000003.txt.gz")));
    EXPECT_EQ("current", TempWorkingDir::readFile(base("000004.txt.gz")));
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

TEST_F(Rotation, UnlistableFolderLeavesTheFileGrowing) {
#if defined(_WIN32)
    GTEST_SKIP() << "a folder that holds an open file cannot be moved away on Windows";
#else
    TestFileLogger logger(base());
    logger.setRotateSizeBytes(1);
    logger.writeText("a\n");
    const std::string moved = dir.path().string() + "-moved";
    std::filesystem::rename(dir.path(), moved);
    ::testing::internal::CaptureStderr();
    logger.writeText("b\n");
    std::string err = ::testing::internal::GetCapturedStderr();
    std::filesystem::rename(moved, dir.path());
    EXPECT_EQ("FindFirstFile failed (2)\nfailed to enumerate files\n", err);
    EXPECT_EQ(Names{"A.log.txt"}, dir.files());
    EXPECT_EQ("a\nb\n", TempWorkingDir::readFile(base(".txt")));
#endif
}

} // namespace
