#pragma once
// What one run did, gathered while it runs from what its parts already know
// where they log their outcomes, and given as one JSON line at the end (see
// RunRecordFile for where it goes). Platform-free: the parts store plain
// numbers and texts; names, times and the consistency verdict are worked out
// only when the line is built.
//
// Threads: the requester's worker fills `writers` while the flow's thread
// waits for it; everything else is filled on the flow's (main) thread, and
// the line is built there after the worker was joined.
#include "Types.h"

#include <optional>
#include <string>
#include <vector>

// One HTTP request to a management server, in performance-counter ticks.
struct RunRecordExchange {
    bool sent = false; // false: the field is null
    bool ok = false;
    u32 error = 0; // the platform error of the failing call; 0 when ok
    i64 startTicks = 0;
    i64 endTicks = 0;
};

struct RunRecordServer {
    std::string role; // "local" or "peer"
    std::string host;
    i64 port = 0;
    RunRecordExchange ping;
    RunRecordExchange checkpoint;
};

struct RunRecordWriter {
    std::string name;
    u32 state = 0;
    u32 failure = 0;
    // Braced GUID texts: two instances of one writer share its name.
    std::string id;
    std::string instanceId;
    // The operation after which the writer reported: "PrepareForBackup",
    // "DoSnapshotSet" or "BackupComplete".
    std::string phase;
};

// A volume the first session added to the snapshot set, with the service's
// answer (a refused volume does not stop the session).
struct RunRecordVolume {
    std::string path;
    u32 result = 0;
};

// What decided the run besides its command line; a time-out is unset when
// this run did not read it.
struct RunRecordSettings {
    std::optional<i64> quiescedWaitMs;
    std::optional<i64> thawStartWaitMs;
    std::optional<i64> waitAsyncMs;
    std::optional<i64> readWaitMs;
    // The tweak files that were read, in the order they were read.
    std::vector<std::string> tweakFiles;
};

// A run that left its in-progress marker behind and whose process is gone,
// with what its guards would have put back, as found at this run's start.
struct RunRecordUnfinished {
    std::string run;
    i64 pid = 0;
    std::string start;
    bool runOncePresent = false;
    bool lastAliveStampPresent = false;
};

struct RunRecord {
    // The process's one record.
    static RunRecord& current();

    std::string run;
    std::string agent;
    std::string start; // UTC, as isoUtc gives it
    std::string end;
    std::string host;
    i64 pid = 0;
    std::string osBuild; // "10.0.20348"
    bool externallyInitiated = false;
    bool gui = false;
    // The parsed command line; only in the default mode.
    bool argsParsed = false;
    std::string localUrl, localPort, peerUrl, peerPort, tag;
    std::vector<std::string> volumes;
    i64 backupType = -1;
    std::optional<bool> simulator; // unset until the requester was chosen

    i64 exitCode = 0;
    std::optional<i64> status; // the last value written to the section

    // Performance-counter ticks around the frozen window; both 0 when the
    // flow's wait did not end with the quiesced event. With the real
    // requester the window counts only once the snapshot set was started.
    i64 ticksPerSecond = 0;
    i64 quiescedTicks = 0;
    i64 thawSetTicks = 0;
    // When the window's status write had returned: the first step inside the
    // window, and one whose cost the platform sets (a section opened and
    // mapped anew on every write).
    i64 statusWrittenTicks = 0;

    // The flow, from before the machine-wide mutex to its return (the
    // second session included): what a run takes apart from its final wait.
    i64 flowStartTicks = 0;
    i64 flowEndTicks = 0;

    std::vector<RunRecordServer> servers;

    // WaitForSingleObject's result for the runner's thaw-start; unset when
    // not waited for.
    std::optional<u32> thawStartWait;
    std::optional<bool> readNotificationReceived;

    // Set once the first session was joined: what the requester reports
    // after that is the second snapshot's.
    bool firstSessionDone = false;
    // The shadow-copy service took the first session's snapshot set, so
    // the provider may have frozen the writers; a requester that failed
    // earlier released the flow's wait with nothing frozen.
    bool snapshotSetStarted = false;
    std::vector<RunRecordWriter> writers;
    std::vector<RunRecordVolume> volumesAdded;
    std::string snapshotSetId;
    std::optional<i64> requesterResult;
    // The first session's first failing step and the code it logged there,
    // also where the session's result is only 1.
    std::string failedStep;
    std::optional<i64> failedCode;
    std::optional<i64> secondSnapshotResult;

    RunRecordSettings settings;
    // Why a tweak or tweak file ended the process (exit code 3); empty
    // otherwise.
    std::string tweakFailure;

    // The guards; each unset when it did not run.
    std::optional<bool> runOnceRegistered;
    std::optional<bool> runOnceRemoved;
    std::optional<i64> bcdeditDisable; // the command interpreter's result
    std::optional<i64> bcdeditEnable;
    std::optional<bool> stampSaved;
    std::optional<u32> stampSaveError; // 2 (file not found): there was none
    std::optional<bool> stampRestored;

    std::vector<RunRecordUnfinished> previousRunUnfinished;
    // The start-up scan of markers: unfinished runs found beyond those
    // listed, files with a marker's name that were not one and were old
    // enough to be removed, and whether the scan stopped at its bound.
    u32 unfinishedNotListed = 0;
    u32 markersDropped = 0;
    bool markerScanCut = false;
    // What went wrong on the record's own side (its files, the folder's
    // access list), each also one Warn record in the log: never the run's
    // outcome.
    std::vector<std::string> recordNotes;

    // The record as one line of JSON, ending in "\n".
    std::string jsonLine() const;

    // Application-consistent: the requester ended well and no writer is in
    // a failed state. Unknown with the simulator, which snapshots nothing.
    std::optional<bool> consistent() const;
    // From the return of the wait for the quiesced event to the thaw event
    // set; unset when nothing was frozen or the counter gave no figure.
    std::optional<double> frozenMs() const;
    // The run's verdict, in this order: "usage" (the command line was
    // refused), "failed" (a non-zero exit, a bad tweak, or a first session
    // that failed although the flow returned 0), "checkpointNotDelivered" (a
    // checkpoint request got no answer, or the runner never signalled
    // thaw-start), "inconsistent" (a writer failed), else "ok".
    std::string outcome() const;
    // One line that says what failed and where, and whether a later run may
    // pass.
    std::string reason() const;
    // The agent's own meaning of its codes, else the symbolic shadow-copy
    // or platform name, else unset.
    static std::optional<std::string> statusName(i64 status);
    // The name of a VSS_WRITER_STATE, else unset.
    static std::optional<std::string> writerStateName(u32 state);
    static bool writerStateFailed(u32 state);
    // "2026-12-07T23:55:10.218Z".
    static std::string isoUtc(int year, int month, int day, int hour, int minute, int second, int ms);
};
