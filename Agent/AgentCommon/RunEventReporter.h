#pragma once
// Writes a run's event log entries (RunEvent) once its record is final.
// A source that cannot be registered or an entry that cannot be written
// gives one Warn record and nothing else: the run's outcome is decided.
#include "AgentCommon/IEventLog.h"
#include "AgentCommon/RunRecord.h"

class RunEventReporter {
public:
    // The agent's source in the Application log.
    static constexpr const wchar_t* kSourceName = L"OrvelVssAgent";

    // The entries of `record`, through `log`. False when any step failed.
    static bool report(const RunRecord& record, IEventLog& log);
};
