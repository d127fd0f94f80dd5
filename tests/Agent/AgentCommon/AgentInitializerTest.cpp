#include "AgentCommon/AgentInitializer.h"
#include "Tweaks.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

// The defaults go into the process's tweak store, which is loaded once per
// process: the check runs in a child that reports what it saw.
TEST(AgentInitializer, RegistersTheDefaultsAndFileValuesWin) {
    TempWorkingDir dir;
    TempWorkingDir::writeFile("tweaks_extension.txt", "t_requesterQuiescedEventWaitTimeoutMsec=1000\n");
    EXPECT_EXIT(
        {
            AgentInitializer::setTweakDefaults();
            Tweaks* tweaks = Tweaks::instance();
            std::cerr << "quiesced=" << tweaks->uintVal("t_requesterQuiescedEventWaitTimeoutMsec")
                      << " async=" << tweaks->uintVal("t_WaitAsyncTimeoutMsec")
                      << " qlog=" << tweaks->intVal("t_qlogMaxFiles") << std::endl;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^quiesced=1000 async=62000 qlog=3");
}
