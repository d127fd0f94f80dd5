#include "Directories.h"
#include "support/StderrLogEcho.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(Directories, ParentIsTheTextBeforeTheLastInnerSeparator) {
    EXPECT_EQ("", Directories::parentOf("test_appdata\\"));
    EXPECT_EQ("a", Directories::parentOf("a\\b\\"));
    EXPECT_EQ("a", Directories::parentOf("a\\b"));
    EXPECT_EQ("a\\b", Directories::parentOf("a\\b\\c\\"));
    EXPECT_EQ("", Directories::parentOf("\\"));
    EXPECT_EQ("", Directories::parentOf(""));
}

TEST(Directories, CreatesFolderAndParentAndAcceptsExistingOnes) {
    TempWorkingDir dir;
    Directories::ensureExists("test_appdata\\");
    EXPECT_TRUE(std::filesystem::is_directory("test_appdata"));

    ::testing::internal::CaptureStderr();
    Directories::ensureExists("parent\\child\\");
    Directories::ensureExists("parent\\child\\");
    Directories::ensureExists("test_appdata\\");
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    EXPECT_TRUE(std::filesystem::is_directory("parent/child"));
}

TEST(Directories, MissingGrandparentEndsTheProcess) {
    TempWorkingDir dir;
    EXPECT_EXIT(
        {
            echoLogToStderr();
            Directories::ensureExists("x\\y\\z\\");
        },
        ::testing::ExitedWithCode(3),
        "\\(\\*_errno\\(\\)\\) == 17 failed\\. mkdir failed for dir x\\\\y\\\\z\\\\ and it does not exist");
    EXPECT_EXIT(Directories::ensureExists("x\\y\\z\\"), ::testing::ExitedWithCode(3),
                "mkdir failed for parent x\\\\y and it does not exist");
}
