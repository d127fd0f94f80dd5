#include "AgentCommon/AgentInitializer.h"

#include <gtest/gtest.h>

TEST(CurrentLogPath, GoesBeforeTheLastExtension) {
    EXPECT_EQ("C:\\ProgramData\\Orvel\\logs\\OrvelVssAgent.exe.current.log",
              AgentInitializer::currentLogPath("C:\\ProgramData\\Orvel\\logs\\OrvelVssAgent.exe.log"));
    EXPECT_EQ("a.current.", AgentInitializer::currentLogPath("a."));
    EXPECT_EQ("logs\\name.current", AgentInitializer::currentLogPath("logs\\name"));
}
