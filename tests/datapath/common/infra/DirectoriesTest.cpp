#include "Directories.h"
#include "support/StderrLogEcho.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(Directories, ParentIsTheTextBeforeTheLastInnerSeparator) {
    const char* rows[][2] = {{"test_appdata\\", ""}, {"a\\b\\", "a"}, {"a\\b", "a"},
                             {"a\\b\\c\\", "a\\b"},  {"\\", ""},      {"", ""}};
    for (auto& row : rows)
        EXPECT_EQ(row[1], Directories::parentOf(row[0])) << row[0];
}

TEST(Directories, CreatesFolderAndParentAcceptsExistingOnesAndNeedsTheGrandparent) {
    TempWorkingDir dir;
    ::testing::internal::CaptureStderr();
    Directories::ensureExists("parent\\child\\");
    Directories::ensureExists("parent\\child\\");
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    EXPECT_TRUE(std::filesystem::is_directory("parent/child"));

    EXPECT_FAILFAST(Directories::ensureExists("x\\y\\z\\"),
                    "== 17 failed\\. mkdir failed for dir x.y.z. and it does not exist");
    EXPECT_EXIT(Directories::ensureExists("x\\y\\z\\"), ::testing::ExitedWithCode(3),
                "mkdir failed for parent x.y and it does not exist");
}
