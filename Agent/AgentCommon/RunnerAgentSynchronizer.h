#pragma once
// The agent's side of the named-event handshake with the runner that is not
// part of the snapshot itself: telling the runner that a status is ready, and
// waiting, bounded, until the runner has read it.
#include "Types.h"

#include <string>

class RunnerAgentSynchronizer {
public:
    // Waits up to `timeoutMs` for a signal given from now on: one given
    // earlier is discarded. A time-out is logged and otherwise treated like
    // the signal; false after a time-out, for the run record.
    [[nodiscard]] static bool waitForSignal(const std::string& eventName, u32 timeoutMs);
    // Sets the event. The handle is kept open until the process ends, so the
    // signal survives for a runner that opens the event only later.
    static void signal(const std::string& eventName);
};
