#pragma once
// The catalogue of the tweaks the agent reads: each one's name, default and
// the type it is read as, in one place. Every reader goes through a getter
// here, so that a tweak is not read as two types by accident. The thaw-start
// time-out is read as two on purpose: signed by the runner listener, whose
// wait takes the value as it is, and unsigned by the requester simulator;
// each reader has its own getter, and the start-up check reads the one the
// run will use.
#include "Types.h"

class AgentTweaks {
public:
    // Registers the defaults, in the order the log of a run lists them; a
    // value from a tweak file wins. The first call loads the tweak store from
    // the working directory.
    static void registerDefaults();

    // Integers whose non-zero value turns the switch on; absent: off.
    static bool memShieldEnabled();   // t_enableMemshield
    static bool simulatedRequester(); // t_requesterSimulativeVss

    // Signed integers, ms unless said otherwise.
    static i32 logMemoryLimitMb();             // t_qlogMaxFiles
    static i32 quiescedEventWaitTimeoutMsec(); // the flow's wait for the freeze
    static i32 runnerThawStartTimeoutMsec();   // the runner listener's wait for thaw-start
    static i32 sharedMemoryReadTimeoutMsec();  // the final wait for the runner's read
    // Unsigned.
    static u32
    simulatorThawWaitMsec(); // t_requesterEventWaitForThawStartTimeoutMsec, as the simulator reads it
    static u32 waitAsyncTimeoutMsec(); // each shadow-copy operation
    // t_runRecordMaxBytes: the run record file and its older file together;
    // absent: 2 MiB. Not among the registered defaults, so the run's list
    // of tweaks is as it was.
    static constexpr u32 kDefaultRunRecordMaxBytes = 2097152;
    static u32 runRecordMaxBytes();
    // t_eventLogEnabled: a non-zero integer or a true word writes the run's
    // entries to the Application event log; absent: on. Not registered
    // either.
    static bool eventLogEnabled();

    // Reads, once, every tweak that a run of this mode and requester will
    // read later, each with its reader's getter: a value that getter rejects
    // ends the process here (exit code 3), before anything is changed.
    static void checkForRun(bool externallyInitiated, bool simulatedRequester);
};
