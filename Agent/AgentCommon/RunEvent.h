#pragma once
// The Windows Event Log entries of a run, worked out from its run record
// alone: which message of the agent's message table, at which level, with
// which insertion strings. Platform-free, so that what an operator filters
// on is fixed by tests that run anywhere; RunEventReporter hands the result
// to the platform.
//
// Every run writes exactly one outcome entry. A run that found earlier runs
// unfinished writes, before it, one entry for each of them (at most
// kMaxUnfinished), so that a run killed before its own entry still gets one.
#include "AgentCommon/RunRecord.h"
#include "Types.h"

#include <string>
#include <vector>

// The platform's event types, with its values.
enum class RunEventType : u16 { error = 1, warning = 2, information = 4 };

struct RunEvent {
    // Stable: operators filter on them. Each one's text is in
    // Agent/AgentMain/OrvelVssAgentEvents.mc.
    static const u32 kCheckpointTaken = 1000;
    static const u32 kNotApplicationConsistent = 1001;
    static const u32 kCheckpointNotDelivered = 1002;
    static const u32 kRunFailed = 1003;
    static const u32 kEarlierRunUnfinished = 1004;
    static const size_t kMaxUnfinished = 5;
    // An insertion string is cut here: a writer's name comes from outside.
    static const size_t kMaxStringBytes = 2048;

    u32 id = 0;
    RunEventType type = RunEventType::information;
    // UTF-8, %1 onwards. Outcome entries all carry the same strings:
    // run, mode, requester, exit, status, frozen, writers, guards, reason,
    // agent version.
    std::vector<std::string> strings;

    // In the order they are to be written.
    static std::vector<RunEvent> forRun(const RunRecord& record);

    struct Level {
        u32 id;
        RunEventType type;
    };
    // The outcome entry's ID and level, from the record's outcome().
    static Level levelOf(const RunRecord& record);
};
