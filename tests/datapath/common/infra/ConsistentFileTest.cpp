#include "ConsistentFile.h"
#include "Crc32.h"
#include "Directories.h"
#include "InfraTest.h"
#include "TextLine.h"

#include <filesystem>

TEST(Crc32, MatchesTheStandardCheckValueAndChains) {
    EXPECT_EQ(0xCBF43926u, crc32(std::string("123456789")));
    EXPECT_EQ(0xCBF43926u, crc32(std::string("6789"), crc32(std::string("12345"))));
}

TEST(TextLine, ReadsLinesUpTo510CharactersAndStopsAtLongerOnes) {
    auto lines = [](const std::string& text) {
        std::istringstream in(text);
        std::vector<std::string> all;
        for (std::string line; readTextLine(in, line);)
            all.push_back(line);
        return all;
    };
    const std::string binary("a\0b\xff\x1a", 5), longest(510, 'x');
    EXPECT_EQ((std::vector<std::string>{"a", "", "b\r", binary, "last"}),
              lines("a\n\nb\r\n" + binary + "\nlast"));
    EXPECT_EQ((std::vector<std::string>{longest, "after"}), lines(longest + "\nafter\n"));
    EXPECT_EQ((std::vector<std::string>{"before"}), lines("before\n" + longest + "x\nafter\n"));
    EXPECT_EQ((std::vector<std::string>{"before"}), lines("before\n" + longest + "x"));
}

TEST(Directories, CreatesFolderAndParentAcceptsExistingOnesAndNeedsTheGrandparent) {
    TempWorkingDir dir;
    ::testing::internal::CaptureStderr();
    Directories::ensureExists("parent\\child\\");
    Directories::ensureExists("parent\\child\\");
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    EXPECT_TRUE(std::filesystem::is_directory("parent/child"));
    EXPECT_FAILFAST(Directories::ensureExists("x\\y\\z\\"),
                    "mkdir failed for parent x.y and it does not exist",
                    "== 17 failed\\. mkdir failed for dir x.y.z. and it does not exist");
}

struct ConsistentFileTest : ::testing::Test {
    static void write(int slot, u64 version, const std::string& content) {
        TempWorkingDir::writeConsistentCopy("set.txt", slot, version, content);
    }
    static std::string load(const char* path = "set.txt") {
        ConsistentFile file(path);
        return load(file);
    }
    static std::string load(ConsistentFile& file, RcStatus expected = RC_SUCCESS) {
        std::ostringstream out;
        EXPECT_EQ(expected, file.load(out));
        return out.str();
    }
    TempWorkingDir m_dir;
};

TEST_F(ConsistentFileTest, ReadsTheNewestValidCopyAndWritesNextToTheOther) {
    write(0, 3, "old\n");
    write(1, 4, "new\n");
    ConsistentFile newer("set.txt");
    EXPECT_EQ("new\n", load(newer));
    EXPECT_EQ(0, newer.nextSlot());
    EXPECT_EQ(5u, newer.nextVersion());

    write(1, 3, "later\n"); // equal versions: the later slot wins
    EXPECT_EQ("later\n", load());
    EXPECT_EQ(0, ConsistentFile("set.txt").nextSlot());
}

TEST_F(ConsistentFileTest, CopiesWithAWrongChecksumOrAnUnreadableSignatureArePassedOver) {
    TempWorkingDir::writeConsistentCopy("set.txt", 0, 5, "torn\n", crc32(std::string("whole\n")));
    write(1, 4, "valid\n");
    EXPECT_EQ("valid\n", load());
    TempWorkingDir::writeFile("set.txt.0.sig", "not a number\n");
    EXPECT_EQ("valid\n", load());
    // The checksum covers a final line end even where the file lacks it; backslashes reach folders.
    TempWorkingDir::writeConsistentCopy("folder/set.txt", 0, 1, "a\nb", crc32(std::string("a\nb\n")));
    EXPECT_EQ("a\nb\n", load("folder\\\\set.txt"));
}

TEST_F(ConsistentFileTest, NoFilesIsEmptyContentButFilesWithoutAValidCopyEndTheProcess) {
    ConsistentFile file("set.txt");
    i32 latest = 7;
    EXPECT_EQ(RC_NOT_FOUND, file.findLatestValidFileIndex(latest));
    EXPECT_EQ(-1, latest);
    EXPECT_EQ("", load(file));
    EXPECT_EQ(0, file.nextSlot());
    EXPECT_EQ(1u, file.nextVersion());

    write(0, 0, "x\n"); // version 0 never counts, even with a matching checksum
    EXPECT_EQ("", load(file, RC_ERROR));
    EXPECT_FAILFAST(ConsistentFile("set.txt"), "RC_ERROR != status failed\\. No valid consistent file found");
}
