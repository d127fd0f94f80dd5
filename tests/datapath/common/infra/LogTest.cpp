#include "Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

TEST(MethodColumns, SplitsClassAndFunction) {
    EXPECT_EQ(",wmain", methodColumns("wmain"));
    EXPECT_EQ("Tweaks::Tweak,Tweak", methodColumns("Tweaks::Tweak::Tweak"));
    EXPECT_EQ(
        "MemoryPoolImpl,giveMemoryToWaiterLocked::<lambda>",
        methodColumns("MemoryPoolImpl::giveMemoryToWaiterLocked::<lambda_1adcabf3fd78881dc8d56c551f4b57fd>::"
                      "operator ()"));
    EXPECT_EQ("a,c", methodColumns("ab:c"));
}
