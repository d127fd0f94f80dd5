#pragma once
// The platform's event log as the end of a run uses it: make sure the
// agent's event source is registered, then write entries. Each call returns
// 0 or the platform error of the call that failed; none throws or blocks.
#include "AgentCommon/RunEvent.h"
#include "Types.h"

class IEventLog {
public:
    virtual ~IEventLog() = default;
    // Registers the agent's source when it is missing or names another
    // message file.
    virtual u32 registerSource() = 0;
    virtual u32 write(const RunEvent& event) = 0;
};
