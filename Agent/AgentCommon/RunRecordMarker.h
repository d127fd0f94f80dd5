#pragma once
#include "Types.h"

#include <string>

// The in-progress marker a run leaves beside the record file while it runs:
// which run, which process (the creation time tells a reused process id
// from the run's own process).
struct RunRecordMarker {
    std::string run;
    i64 pid = 0;
    u64 created = 0; // the process's creation time, in the platform's units
    std::string start;

    std::string text() const;
    // False, leaving `marker` as it was, unless the text is exactly the
    // four fields, each well formed (see RunRecordFile::begin for why a
    // marker is hostile input). Never throws but for lack of memory.
    [[nodiscard]] static bool parse(const std::string& text, RunRecordMarker& marker);
};
