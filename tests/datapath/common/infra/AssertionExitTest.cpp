// Both assertion forms end the process at once with the fail-fast status,
// whatever the condition's text or detail. (Their records go to standard
// output, which a death test does not match.)
#include "Log.h"

#include <gtest/gtest.h>

TEST(AssertionExit, BothFormsEndTheProcessWithFailFastStatus) {
    EXPECT_EXIT(ORV_CHECK(1 + 1 == 3, " detail=" << 7 << " "), ::testing::ExitedWithCode(3), "");
    EXPECT_EXIT(ORV_ASSERT(sizeof(int) == 1), ::testing::ExitedWithCode(3), "");
}
