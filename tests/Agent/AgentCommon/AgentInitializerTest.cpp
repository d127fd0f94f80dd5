#include "AgentCommon/AgentInitializer.h"
#include "Tweaks.h"
#include "support/LogCapture.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

namespace {
const std::string kAdded = "default tweak added:  name=";
}

// The defaults go into the process's tweak store, which is loaded once per
// process: the check runs in a child that reports what it saw.
TEST(AgentInitializer, RegistersTheDefaultsInOrderAndFileValuesWin) {
    TempWorkingDir dir;
    TempWorkingDir::writeFile("tweaks_extension.txt", "t_requesterQuiescedEventWaitTimeoutMsec=1000\n");
    EXPECT_EXIT(
        {
            LogCapture::instance().clear();
            AgentInitializer::setTweakDefaults();
            std::string added;
            for (const std::string& message : LogCapture::instance().messages()) {
                if (message.compare(0, kAdded.size(), kAdded) == 0)
                    added +=
                        message.substr(kAdded.size(), message.find(' ', kAdded.size()) - kAdded.size()) + ",";
            }
            Tweaks* tweaks = Tweaks::instance();
            std::cerr << added << " quiesced=" << tweaks->uintVal("t_requesterQuiescedEventWaitTimeoutMsec")
                      << " async=" << tweaks->uintVal("t_WaitAsyncTimeoutMsec")
                      << " qlog=" << tweaks->intVal("t_qlogMaxFiles") << std::endl;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^t_qlogMaxFiles,t_FileLoggerCompressOnRotate,t_FileLoggerEnabled,t_"
        "runnerEventFreezeCompleteTimeoutMsec,"
        "t_runnerEventThawCompleteTimeoutMsec,t_requesterEventWaitForThawStartTimeoutMsec,"
        "t_requesterEventWaitForSharedMemoryReadTimeoutMsec,t_WaitAsyncTimeoutMsec, quiesced=1000 "
        "async=62000 "
        "qlog=3");
}
