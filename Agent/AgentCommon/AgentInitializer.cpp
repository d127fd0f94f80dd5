#include "AgentInitializer.h"

#include "Tweaks.h"

void AgentInitializer::setTweakDefaults() {
    // Registered in this order, so the log of a run lists them so.
    static const char* const kDefaults[][2] = {
        {"t_qlogMaxFiles", "3"},
        {"t_FileLoggerCompressOnRotate", "1"},
        {"t_FileLoggerEnabled", "1"},
        // Registered for the runner's side of the handshake; the agent does not read them.
        {"t_runnerEventFreezeCompleteTimeoutMsec", "75000"},
        {"t_runnerEventThawCompleteTimeoutMsec", "15000"},
        {"t_requesterQuiescedEventWaitTimeoutMsec", "72000"},
        {"t_requesterEventWaitForThawStartTimeoutMsec", "9500"},
        {"t_requesterEventWaitForSharedMemoryReadTimeoutMsec", "80000"},
        {"t_WaitAsyncTimeoutMsec", "62000"},
    };
    Tweaks* tweaks = Tweaks::instance();
    for (const auto& entry : kDefaults)
        tweaks->setDefaultValIfNotSet(entry[0], entry[1]);
}

std::string AgentInitializer::currentLogPath(const std::string& path) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos)
        return path + ".current";
    return path.substr(0, dot) + ".current" + path.substr(dot);
}
