#pragma once
// Where the run record goes: OrvelVssAgent.exe.runs.jsonl in the log
// folder, one line per run, appended with one write on a handle opened for
// appending only, so that agents running at once never interleave a line.
// The file and the one older file it is rotated to stay within a bound
// together. While a run runs, an in-progress marker of its own lies beside
// the file; the next run that finds a marker of a process that is gone
// reports it as unfinished.
//
// Nothing here logs or throws, and no failure reaches the run: without a
// writable log folder there is simply no record. Windows only.
#include "AgentCommon/RunRecord.h"
#include "Types.h"

#include <string>

class RunRecordFile {
public:
    static constexpr const wchar_t* kFileName = L"OrvelVssAgent.exe.runs.jsonl";
    static constexpr const wchar_t* kOlderFileName = L"OrvelVssAgent.exe.runs.1.jsonl";
    static constexpr const wchar_t* kMarkerPrefix = L"OrvelVssAgent.exe.run-";
    static constexpr const wchar_t* kMarkerSuffix = L".inprogress";

    // At the run's start: its id, start time and counter frequency go into
    // `record`, each marker of a run whose process is gone into its
    // previousRunUnfinished (with the machine state that run would have put
    // back) and is removed, and this run's marker is left.
    //
    // Whoever could write to the folder may have left anything under a
    // marker's name: the scan reads a bounded prefix of plain files only,
    // stops at a bound of entries and time, never throws on what it reads,
    // and removes a file that is not a marker once it is a day old
    // (counted in the record).
    static void begin(RunRecord& record);
    // At the run's end: the end time, the line appended (rotating first when
    // it would pass the bound), this run's marker removed. False when the
    // line could not be written.
    static bool finish(RunRecord& record, u64 boundBytes);

    // <common application data>\Orvel, the agent's own folder, or empty
    // when unknown.
    static std::wstring agentFolder();
    // Its logs folder, where the record files and markers lie, or empty.
    static std::wstring folder();
    // The performance counter now, in the record's ticks (0 when the counter
    // cannot be read): a number taken, nothing more, so that it may be
    // taken inside the frozen window.
    static i64 ticksNow();
    // The current UTC time as RunRecord::isoUtc gives it.
    static std::string nowUtc();

private:
    static void scanMarkers(const std::wstring& dir, RunRecord& record);
};
