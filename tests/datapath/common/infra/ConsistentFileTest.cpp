#include "ConsistentFile.h"
#include "Crc32.h"
#include "TextLine.h"
#include "support/LogCapture.h"
#include "support/StderrLogEcho.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

TEST(Crc32, MatchesTheStandardCheckValueAndChains) {
    EXPECT_EQ(0xCBF43926u, crc32(std::string("123456789")));
    EXPECT_EQ(0u, crc32(std::string()));
    EXPECT_EQ(crc32(std::string("123456789")), crc32(std::string("6789"), crc32(std::string("12345"))));
}

namespace {
std::vector<std::string> readAllLines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    std::string line;
    while (readTextLine(in, line))
        lines.push_back(line);
    return lines;
}
} // namespace

TEST(TextLine, ReadsLinesUpTo510CharactersAndStopsAtLongerOnes) {
    EXPECT_EQ((std::vector<std::string>{"a", "", "b\r", "last"}), readAllLines("a\n\nb\r\nlast"));
    EXPECT_TRUE(readAllLines("").empty());

    const std::string longest(510, 'x');
    EXPECT_EQ((std::vector<std::string>{longest, "after"}), readAllLines(longest + "\nafter\n"));
    EXPECT_EQ((std::vector<std::string>{"before"}),
              readAllLines("before\n" + std::string(511, 'x') + "\nafter\n"));
    EXPECT_EQ((std::vector<std::string>{"before"}), readAllLines("before\n" + std::string(511, 'x')));
    EXPECT_EQ((std::vector<std::string>{"before"}),
              readAllLines("before\n" + std::string(100000, 'x') + "\n"));
}

TEST(TextLine, KeepsBinaryBytes) {
    const std::string binary("a\0b\xff\x1a", 5);
    EXPECT_EQ((std::vector<std::string>{binary, "z"}), readAllLines(binary + "\nz\n"));
}

class ConsistentFileTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    bool logged(const std::string& message) { return LogCapture::instance().hasMessage(message); }

    TempWorkingDir m_dir;
};

TEST_F(ConsistentFileTest, ReadsTheNewestValidCopy) {
    TempWorkingDir::writeConsistentCopy("set.txt", 0, 3, "old\n");
    TempWorkingDir::writeConsistentCopy("set.txt", 1, 4, "new\n");
    ConsistentFile file("set.txt");
    EXPECT_EQ(0, file.nextSlot());
    EXPECT_EQ(5u, file.nextVersion());
    std::ostringstream out;
    EXPECT_EQ(RC_SUCCESS, file.load(out));
    EXPECT_EQ("new\n", out.str());
    EXPECT_TRUE(logged("Latest index found: 1"));
}

TEST_F(ConsistentFileTest, OlderCopyIsNotReadAndEqualVersionsGoToTheLaterSlot) {
    TempWorkingDir::writeConsistentCopy("set.txt", 0, 5, "newer\n");
    TempWorkingDir::writeConsistentCopy("set.txt", 1, 4, "older\n");
    {
        ConsistentFile file("set.txt");
        EXPECT_EQ(1, file.nextSlot());
        EXPECT_TRUE(logged("Index 1 is older than the current one"));
    }
    TempWorkingDir::writeConsistentCopy("set.txt", 1, 5, "later\n");
    ConsistentFile file("set.txt");
    std::ostringstream out;
    EXPECT_EQ(RC_SUCCESS, file.load(out));
    EXPECT_EQ("later\n", out.str());
    EXPECT_EQ(0, file.nextSlot());
    EXPECT_EQ(6u, file.nextVersion());
}

TEST_F(ConsistentFileTest, CopyWithWrongChecksumIsPassedOver) {
    TempWorkingDir::writeConsistentCopy("set.txt", 0, 5, "torn\n", crc32(std::string("whole\n")));
    TempWorkingDir::writeConsistentCopy("set.txt", 1, 4, "valid\n");
    ConsistentFile file("set.txt");
    std::ostringstream out;
    EXPECT_EQ(RC_SUCCESS, file.load(out));
    EXPECT_EQ("valid\n", out.str());
    EXPECT_TRUE(logged("Data and signature do not match for index 0"));
}

TEST_F(ConsistentFileTest, ChecksumCoversAFinalLineEndEvenWhenTheFileLacksIt) {
    TempWorkingDir::writeConsistentCopy("set.txt", 0, 1, "a\nb", crc32(std::string("a\nb\n")));
    ConsistentFile file("set.txt");
    std::ostringstream out;
    EXPECT_EQ(RC_SUCCESS, file.load(out));
    EXPECT_EQ("a\nb\n", out.str());
}

TEST_F(ConsistentFileTest, IncompletePairAndVersionZeroLeaveNoValidCopy) {
    TempWorkingDir::writeConsistentCopy("set.txt", 0, 1, "x\n");
    ConsistentFile file("set.txt");
    std::filesystem::remove("set.txt.0.sig");
    i32 latest = 7;
    EXPECT_EQ(RC_ERROR, file.findLatestValidFileIndex(latest));
    EXPECT_EQ(-1, latest);
    EXPECT_TRUE(logged("Incomplete pair of persistent files for index 0"));
    EXPECT_TRUE(logged("Not found persistent files for index 1"));

    // A copy signed with version 0 never counts, even with a matching checksum.
    TempWorkingDir::writeConsistentCopy("set.txt", 0, 0, "x\n");
    EXPECT_EQ(RC_ERROR, file.findLatestValidFileIndex(latest));
    std::ostringstream out;
    EXPECT_EQ(RC_ERROR, file.load(out));
    EXPECT_EQ("", out.str());
    EXPECT_TRUE(logged("Error loading from disk"));
}

TEST_F(ConsistentFileTest, NoFilesIsEmptyContent) {
    ConsistentFile file("absent.txt");
    i32 latest = 7;
    EXPECT_EQ(RC_NOT_FOUND, file.findLatestValidFileIndex(latest));
    EXPECT_EQ(-1, latest);
    std::ostringstream out;
    EXPECT_EQ(RC_SUCCESS, file.load(out));
    EXPECT_EQ("", out.str());
    EXPECT_TRUE(logged("File does not exist"));
    EXPECT_TRUE(logged("Not found persistent files for index 1"));
    EXPECT_EQ(0, file.nextSlot());
    EXPECT_EQ(1u, file.nextVersion());
}

TEST_F(ConsistentFileTest, UnreadableSignatureReadsAsVersionZero) {
    TempWorkingDir::writeFile("set.txt.0", "x\n");
    TempWorkingDir::writeFile("set.txt.0.sig", "not a number\n");
    TempWorkingDir::writeConsistentCopy("set.txt", 1, 2, "y\n");
    ConsistentFile file("set.txt");
    std::ostringstream out;
    EXPECT_EQ(RC_SUCCESS, file.load(out));
    EXPECT_EQ("y\n", out.str());
}

TEST_F(ConsistentFileTest, BackslashPathsReachFolders) {
    TempWorkingDir::writeConsistentCopy("folder/set.txt", 0, 1, "in folder\n");
    ConsistentFile file("folder\\\\set.txt");
    std::ostringstream out;
    EXPECT_EQ(RC_SUCCESS, file.load(out));
    EXPECT_EQ("in folder\n", out.str());
}

TEST_F(ConsistentFileTest, SetWithoutAValidPairEndsTheProcess) {
    TempWorkingDir::writeFile("set.txt.0", "data only\n");
    EXPECT_EXIT(
        {
            echoLogToStderr();
            ConsistentFile file("set.txt");
        },
        ::testing::ExitedWithCode(3), "RC_ERROR != status failed\\. No valid consistent file found");
}
