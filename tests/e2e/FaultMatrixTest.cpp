// Every party around the agent failing in turn, one row each, with the real
// requester against the stand-ins of the provider service, the shadow-copy
// service (which plays the provider's freeze), the runner and the management
// server. A row is judged as the machine's owner would: the exit code, the
// status a runner reads last, how long the writers were held, and whether
// the machine is as before (LastAliveStamp back, no RunOnce entry, the boot
// policy relaxed and put back, or never touched) with nothing left running.
// What the flow decides on its own (its waits, the order of its notices) is
// the subject of its unit test; the rows here are about the platform's parts.
// Then the agent killed at each point of a run, repeated runs, and two
// agents started at once.
#ifdef _WIN32
#include "AgentCommon/RunRecord.h"
#include "support/StandInRunTest.h"
#include "windows/WinHandle.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {
const int kAssertExit = 3; // an internal consistency check ended the process
const char kFlowRecord[] = "launchVssRequesterDoSnapshot failed with error : ";
const char kCheckpointPrefix[] = "/KosService/AgentServer/insertlicensed/";

size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos + 1))
        ++count;
    return count;
}

// Who asks for the snapshot: the agent with a management server (as local,
// as local and peer at once, as peer behind a local one that is down, or
// none), or -ExternallyInitiated with or without the runner.
enum Caller { Local, LocalAsPeer, PeerOnly, NoServer, Runner, NoRunner, BadCommandLine };

// Changes a row makes to the agent's files after the tweaks were written.
typedef void (*Prepare)(const std::string& workingDirectory);

std::string logFolder() {
    std::string logs = agentLogs();
    return logs.substr(0, logs.find_last_of('\\'));
}

// Appends `text` to the tweak file in `dir`.
void extend(const std::string& dir, const std::string& text) {
    const std::string path = dir + "\\tweaks_extension.txt";
    TempWorkingDir::writeFile(path, TempWorkingDir::readFile(path) + text);
}

// The log folder is a file: the agent runs without its logs.
void logFolderIsAFile(const std::string&) {
    ASSERT_TRUE(MoveFileA(logFolder().c_str(), (logFolder() + ".aside").c_str()));
    TempWorkingDir::writeFile(logFolder(), "");
}

void undoPrepare(const std::string& workingDirectory) {
    std::filesystem::remove_all(workingDirectory + "\\jex_tweaks");
    if (GetFileAttributesA((logFolder() + ".aside").c_str()) != INVALID_FILE_ATTRIBUTES) {
        DeleteFileA(logFolder().c_str());
        MoveFileA((logFolder() + ".aside").c_str(), logFolder().c_str());
    }
}

void baseSetBadSignature(const std::string& dir) {
    TempWorkingDir::writeConsistentCopy(dir + "\\jex_tweaks\\tweaks.txt", 0, 1, "t_a=1\n", 12345);
}

// How long the provider held the writers in the first session, in ms;
// -1: never frozen.
struct Held {
    long minMs, maxMs;
};
const Held kHeld = {0, 2500};
const Held kNeverFrozen = {-1, -1};

// What a run comes to: its exit code, the status the section holds at the
// end, the writers' hold, whether the guards relaxed the machine (and put it
// back), whether it wrote its record line and the record's verdict, and what
// it (or the runner) printed.
struct Outcome {
    int exit = 0;
    int status = 0;
    Held held = kHeld;
    bool touched = true;
    bool recorded = true;
    const char* output = kSuccessLine;
    const char* verdict = "ok";
};
Outcome succeeded(Held held = kHeld, const char* verdict = "ok") {
    return {0, 0, held, true, true, kSuccessLine, verdict};
}
// The run succeeds; the requester's result is the status: no snapshot.
Outcome requesterFailed(int status, Held held = kNeverFrozen) {
    return {0, status, held, true, true, kSuccessLine, "failed"};
}
Outcome endedEarly(int exit, int status = kNeverWritten, const char* output = "") {
    return {exit, status, kNeverFrozen, false, true, output, exit == 1 ? "usage" : "failed"};
}
// A bad tweak ended the process where it was read; its line is written
// without the log.
Outcome asserted(const char* output = "") {
    return {kAssertExit, kNeverWritten, kNeverFrozen, false, true, output, "failed"};
}

const Args kInstalled = {L"--install"};

struct Row {
    const char* name;
    Caller caller = Local;
    Args options = {}; // the server's, or the runner's
    std::string standIn = "";
    std::string tweaks = "";
    Prepare prepare = nullptr;
    Args install = kInstalled; // the provider service's; empty: not installed
    Outcome end = {};
    std::vector<std::string> errors = {};  // all Error records but kFlowRecord, in order (starts)
    std::vector<std::string> records = {}; // further records, in order
    std::vector<std::string> record = {};  // members the run record holds (JSON)
};

// Members of the run record.
const char kEarly[] = R"({"requester":null,"servers":[]})";
const char kRunnerHeardBoth[] =
    R"({"runner":{"thawStart":"received","readNotification":"received"},"servers":[]})";
const char kPingAnswered[] =
    R"({"servers":[{"role":"local","host":"127.0.0.1","ping":{"ok":true,"error":null},
    "checkpoint":{"ok":true}}]})";
const char kCheckpointUnanswered[] = R"({"servers":[{"ping":{"ok":true},"checkpoint":{"ok":false}}]})";
const char kInconsistent[] = R"({"consistent":false})";
std::string pingFailed(int error) {
    return R"({"requester":"vss","runner":{"thawStart":null,"readNotification":null},"servers":[{"role":"local",
        "ping":{"ok":false,"error":)" +
           std::to_string(error) + R"(},"checkpoint":null}]})";
}

const std::vector<std::string> kAbort = {"AbortBackup..."};
const std::vector<std::string> kPingFailed = {"notifyFreezePrepare failed with res=1 ",
                                              "SnapshotFlow failed ret=-1002 "};
const std::vector<std::string> kVetoed = {
    "pAsync->QueryStatus() retrieved the error code 80042306 (VSS_E_PROVIDER_VETO) ",
    "waitForAsync failed hr=80042306 ", "assumming timeout occured in VSS provider waiting for thaw"};
const std::string kNoQuiesce = "::WaitForSingleObject(quiescedEvent, 1000) returned WAIT_TIMEOUT";
const std::string kShortThaw = "t_requesterEventWaitForThawStartTimeoutMsec=1000";
const std::string kQuiescedText = "t_requesterQuiescedEventWaitTimeoutMsec=\"abc\"";

// clang-format off
const Row kRows[] = {
    // The provider service.
    {.name = "service stopped: started", .caller = Runner, .records = {"Service start pending..."},
     .record = {kRunnerHeardBoth}},
    // A hint of three polls: a loaded machine must not look like a service without progress.
    {.name = "service start pending with progress", .caller = Runner, .install = {L"--install",
     L"--start-pending-ms", L"1500", L"--checkpoint-every-ms", L"300", L"--wait-hint-ms", L"3000"},
     .records = {"Service started successfully."}},
    // Only a failed call stops the run: a start that never ends is reported and the snapshot goes on.
    {.name = "service start pending past its hint", .caller = Runner, .install = {L"--install", L"--stall-start",
     L"--wait-hint-ms", L"0"}, .errors = {"Service not started.", "Current State: 2", "Exit Code: 0",
     "Check Point: 1", "Wait Hint: 0"}},
    {.name = "service missing", .caller = Runner, .install = {},
     .end = endedEarly(-1006, -1006, "thaw_complete_ms=-1"), .errors = {"OpenService failed with error code 1060",
     "failed to start vss provider service due to :1060"}, .records = {"writing -1006 to shared memory buffer",
     "fire event  eventNameStr=Global\\OrvelRunnerEventFreezeComplete ", "OrvelVssAgent.exe done. ret=-1006 "},
     .record = {kEarly, R"({"statusName":"providerServiceMissing","runner":{"thawStart":null,
     "readNotification":"received"}})"}},
    {.name = "service disabled", .caller = Runner, .install = {L"--install", L"--disabled"},
     .end = endedEarly(-1007, -1007, "thaw_complete_ms=-1"), .errors = {"StartService failed with error code 1058",
     "failed to start vss provider service due to :1058"}, .records = {"writing -1007 to shared memory buffer"},
     .record = {kEarly}},

    // Each call of the backup failing in the first session: logged, aborted as
    // needed, the result reported; the run itself succeeds. Before the
    // snapshot set, the failing requester releases the flow: nothing is frozen.
    {.name = "CreateVssBackupComponents fails", .standIn = "fail.CreateVssBackupComponentsInternal@1=0x80004001",
     .end = requesterFailed(int(0x80004001)), .errors = {"CreateVssBackupComponents failed with error code 80004001"},
     .record = {kInconsistent, kPingAnswered}},
    {.name = "InitializeForBackup fails", .standIn = "fail.InitializeForBackup@1=0x80042302",
     .end = requesterFailed(int(0x80042302)),
     .errors = {"InitializeForBackup failed with error code 80042302 (VSS_E_UNEXPECTED) "}},
    {.name = "SetBackupState fails", .standIn = "fail.SetBackupState@1=0x80070057",
     .end = requesterFailed(int(0x80070057)), .errors = {"SetBackupState failed with error code 80070057"},
     .records = kAbort},
    {.name = "GatherWriterMetadata fails", .standIn = "fail.GatherWriterMetadata@1=0x80042301",
     .end = requesterFailed(int(0x80042301)),
     .errors = {"GatherWriterMetadata failed with error code 80042301 (VSS_E_BAD_STATE) "}, .records = kAbort},
    {.name = "GatherWriterMetadata's wait fails", .standIn = "async.GatherWriterMetadata@1=wait:0x80042302",
     .end = requesterFailed(1), .errors = {"pAsync->Wait() failed with error code 80042302 (VSS_E_UNEXPECTED) ",
     "waitForAsync failed"}, .records = kAbort},
    {.name = "StartSnapshotSet fails", .standIn = "fail.StartSnapshotSet@1=0x80042316",
     .end = requesterFailed(int(0x80042316)), .errors = {"StartSnapshotSet failed with error code 80042316 "
     "(Another shadow copy creation is already in progress. Please wait a few moments and try again) "},
     .records = kAbort, .record = {R"({"statusName":"VSS_E_SNAPSHOT_SET_IN_PROGRESS","failedStep":"StartSnapshotSet"})"}},
    {.name = "PrepareForBackup fails", .standIn = "fail.PrepareForBackup@1=0x80042312",
     .end = requesterFailed(int(0x80042312)), .errors = {"PrepareForBackup failed with error code 80042312 "
     "(VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED) "}, .records = kAbort},
    {.name = "PrepareForBackup's status query fails", .standIn = "async.PrepareForBackup@1=query:0x80004005",
     .end = requesterFailed(1), .errors = {"pAsync->QueryStatus() failed with error code 80004005",
     "waitForAsync failed"}, .records = kAbort},
    {.name = "PrepareForBackup ends with an error", .standIn = "async.PrepareForBackup@1=status:0x80042315",
     .end = requesterFailed(1), .errors = {"pAsync->QueryStatus() retrieved the error code 80042315 (An error "
     "occurred while trying to contact VSS writers. Check for associated errors in the event log) ",
     "waitForAsync failed"}, .records = kAbort},
    {.name = "GatherWriterStatus fails", .standIn = "fail.GatherWriterStatus#1@1=0x80042301",
     .end = requesterFailed(1), .errors = {"GatherWriterStatus failed with error code 80042301 (VSS_E_BAD_STATE) ",
     "gatherWriterStatus failed"}, .records = kAbort},
    {.name = "DoSnapshotSet refused: provider veto", .standIn = "fail.DoSnapshotSet@1=0x80042306",
     .end = requesterFailed(kVeto), .errors = {"DoSnapshotSet failed with error code 80042306 (VSS_E_PROVIDER_VETO) "},
     .records = kAbort, .record = {R"({"statusName":"VSS_E_PROVIDER_VETO","frozenMs":null})"}},
    // From here on the provider froze the writers; the flow's thaw released them.
    {.name = "DoSnapshotSet ends with a provider error", .standIn = "async.DoSnapshotSet@1=status:0x8004230F",
     .end = requesterFailed(1, kHeld), .errors = {"pAsync->QueryStatus() retrieved the error code 8004230f "
     "(VSS_E_UNEXPECTED_PROVIDER_ERROR) ", "waitForAsync failed hr=0 "}, .records = kAbort,
     .record = {kInconsistent, kPingAnswered}},
    {.name = "DoSnapshotSet's wait fails at once", .standIn = "async.DoSnapshotSet@1=wait:0x80042302",
     .end = requesterFailed(int(0x80042302), kHeld), .errors = {"pAsync->Wait() failed with error code 80042302 "
     "(VSS_E_UNEXPECTED) ", "waitForAsync failed hr=80042302 "}, .records = kAbort},
    {.name = "BackupComplete fails", .standIn = "fail.BackupComplete@1=0x80042301",
     .end = requesterFailed(int(0x80042301), kHeld),
     .errors = {"BackupComplete failed with error code 80042301 (VSS_E_BAD_STATE) "}, .records = kAbort},
    {.name = "FreeWriterStatus fails", .standIn = "fail.FreeWriterStatus#3@1=0x80004005",
     .end = requesterFailed(1, kHeld), .errors = {"FreeWriterStatus failed with error code 80004005",
     "gatherWriterStatus failed"}, .records = kAbort},
    // Any success status ends an operation well, not only "finished".
    {.name = "DoSnapshotSet ends with another success status", .standIn = "async.DoSnapshotSet@1=status:0x0004230B",
     .record = {R"({"consistent":true})", kPingAnswered}},

    // The runner. The guards relax the machine before the freeze and put it
    // back after the thaw, the runner's handshake in between.
    {.name = "runner thaws after 200 ms", .caller = Runner, .options = {L"--thaw-delay-ms", L"200"},
     .end = succeeded({200, 2500}), .records = {"Disabling Windows error recovery...", "Registering RunOnce...",
     "Saving LastAliveStampCache...", "Invoking requester", "writing 0 to shared memory buffer",
     "receive freeze success, setting freeze event", "received event from runner to continue to thaw logic",
     "Setting thaw event", "Restoring LastAliveStampCache...", "Enabling Windows error recovery...",
     "Unregistering RunOnce...", "Releasing mutex", "writing 0 to shared memory buffer",
     "creating second snapshot to take writers out of \"Timed out\" state", "OrvelVssAgent.exe done. ret=0 "},
     .record = {kRunnerHeardBoth, R"({"consistent":true})"}},
    {.name = "runner never thaws", .caller = Runner, .options = {L"--thaw", L"never"}, .tweaks = kShortThaw,
     .end = succeeded({1000, 3500}, "checkpointNotDelivered"), .errors = {kNoQuiesce}, .records = {"continuing to thaw"},
     .record = {R"({"runner":{"thawStart":"timedOut","readNotification":"received"}})"}},
    // Set before the agent waits: the auto-reset event is still set.
    {.name = "runner thaws early", .caller = Runner, .options = {L"--thaw", L"early"}, .end = succeeded({0, 1500}),
     .records = {"received event from runner to continue to thaw logic"}, .record = {kRunnerHeardBoth}},
    {.name = "runner absent", .caller = NoRunner, .tweaks = kShortThaw,
     .end = succeeded({1000, 3500}, "checkpointNotDelivered"),
     .errors = {kNoQuiesce}, .records = {"OrvelVssAgent.exe done. ret=0 ", "event eventHndl="},
     .record = {R"({"runner":{"thawStart":"timedOut","readNotification":"timedOut"},"servers":[]})"}},
    {.name = "runner never reads the status", .caller = Runner, .options = {L"--no-read-notify"},
     .tweaks = "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=1500", .records = {"Waiting for event  "
     "eventNameStr=Global\\RequesterEventWaitForReadNotificationName with timeout of :1500ms", "event eventHndl="},
     .record = {R"({"runner":{"thawStart":"received","readNotification":"timedOut"}})"}},

    // The management server.
    {.name = "server down", .caller = NoServer, .end = endedEarly(-1002), .errors = {"Error 12029 in "
     "WinHttpSendRequest.", kPingFailed[0], kPingFailed[1]}, .records = {"m_serverUrl = 127.0.0.1",
     "m_serverPort = 1", "WinHttpOpen returned 0x", "WinHttpConnect returned 0x", "WinHttpOpenRequest returned 0x",
     "WinHttpSendRequest returned 0", "No connection either to local or peer. doing nothing"},
     .record = {pingFailed(12029)}},
    {.name = "server closes on the ping", .options = {L"--close-on", L"ping"}, .end = endedEarly(-1002),
     .errors = {"Error 12152 in WinHttpReceiveResponse.", kPingFailed[0], kPingFailed[1]},
     .record = {pingFailed(12152)}},
    // Nothing bounds the ping: the run waits for the server to go away.
    {.name = "server never answers the ping", .options = {L"--silent-on", L"ping", L"--lifetime-ms", L"1500"},
     .end = endedEarly(-1002), .errors = {"Error 12152 in WinHttpReceiveResponse.", kPingFailed[0], kPingFailed[1]},
     .record = {pingFailed(12152)}},
    {.name = "local server down, peer up", .caller = PeerOnly, .end = succeeded(kHeld, "checkpointNotDelivered"),
     .errors = {"Error 12029 in WinHttpSendRequest."},
     .records = {"Done taking CP on peer KOS."}, .record = {R"({"servers":[{"role":"local","host":"localhost",
     "ping":{"ok":false,"error":12029},"checkpoint":null},{"role":"peer","ping":{"ok":true},
     "checkpoint":{"ok":true}}]})"}},
    {.name = "peer is the local server: asked once", .caller = LocalAsPeer,
     .records = {"Peer URL equals local URL. Not Connecting to peer"}, .record = {kPingAnswered}},
    {.name = "server answers 500", .options = {L"--ping-status", L"500", L"--checkpoint-status", L"500"},
     .records = {"Object name: /KosService/AgentServer/insertlicensed/", "WinHttpSendRequest returned 1",
     "WinHttpReceiveResponse returned 1", "Done taking CP on local KOS."}, .record = {kPingAnswered}},
    {.name = "server answers the checkpoint in 700 ms", .options = {L"--checkpoint-delay-ms", L"700"},
     .end = succeeded({700, 3000})},
    // The provider's own bound releases the writers; the agent learns of it
    // from the shadow-copy service's veto.
    {.name = "server answers the checkpoint after the provider's bound", .options = {L"--checkpoint-delay-ms",
     L"1000"}, .standIn = "thaw.wait.ms=300\n", .end = requesterFailed(kVeto, {300, 1000}), .errors = kVetoed,
     .records = kAbort, .record = {kPingAnswered}},
    // Nothing of the agent's bounds the checkpoint request either: the
    // provider's bound releases the writers long before the server goes away.
    {.name = "server never answers the checkpoint", .options = {L"--silent-on", L"checkpoint", L"--lifetime-ms",
     L"3000"}, .standIn = "thaw.wait.ms=1000\n", .end = requesterFailed(kVeto, {1000, 1700}),
     .errors = {kVetoed[0], kVetoed[1], kVetoed[2], "Error 12152 in WinHttpReceiveResponse."}, .records = kAbort,
     .record = {kCheckpointUnanswered}},
    {.name = "server closes on the checkpoint", .options = {L"--close-on", L"checkpoint"},
     .end = succeeded(kHeld, "checkpointNotDelivered"), .errors = {"Error 12152 in WinHttpReceiveResponse."}, .record = {kCheckpointUnanswered}},

    // The agent's own files.
    {.name = "log folder not writable", .prepare = logFolderIsAFile,
     .end = {.recorded = false, .output = "failed to open logger file. going to work without logger"}},
    // The signed set's own file check ends the process before any tweak is read: no line.
    {.name = "base tweak set: no valid signature", .prepare = baseSetBadSignature,
     .end = {kAssertExit, kNeverWritten, kNeverFrozen, false, false, "No valid consistent file found"}},
    {.name = "tweak file: a value that is no number",
     .prepare = [](const std::string& dir) { extend(dir, "t_FileLoggerEnabled=maybe\n"); }, .end = asserted()},
    {.name = "tweak file: truncated last line",
     .prepare = [](const std::string& dir) { extend(dir, "t_FileLoggerEnab"); }},
    // Reading stops at a line too long: the bad value after it is never parsed.
    {.name = "tweak file: oversized line ends the file",
     .prepare = [](const std::string& dir) { extend(dir, std::string(600, 'x') + "\nt_FileLoggerEnabled=maybe\n"); }},
    // Values read only inside the run end it before the machine is touched.
    {.name = "timeout beyond 32 bits", .tweaks = "t_requesterQuiescedEventWaitTimeoutMsec=4294967296",
     .end = asserted(), .errors = {"Assertion (ival <= ((u32)-1) / 2) failed"}},
    {.name = "thaw-start timeout that is text", .caller = NoRunner,
     .tweaks = "t_requesterEventWaitForThawStartTimeoutMsec=\"abc\"", .end = asserted(),
     .errors = {"value is not int", "Assertion (false) failed"}},
    {.name = "negative shadow-copy wait", .tweaks = "t_WaitAsyncTimeoutMsec=-1", .end = asserted(),
     .errors = {"Assertion (ival >= 0) failed"}},
    // Read as the simulator reads it, unsigned, though the runner listener takes it signed.
    {.name = "negative thaw-start wait with the simulator",
     .tweaks = "t_requesterSimulativeVss=1\nt_requesterEventWaitForThawStartTimeoutMsec=-1", .end = asserted(),
     .errors = {"Assertion (ival >= 0) failed"}},
    // Checked only once the command line and the provider service have had their say, and
    // only the tweaks this mode and requester read.
    {.name = "bad tweak and a usage error: the usage error", .caller = BadCommandLine, .tweaks = kQuiescedText,
     .end = endedEarly(1, kNeverWritten, "Usage: OrvelVssAgent.exe"),
     .errors = {"Had to print usage", "ArgumentsParser failed ret=1 "}, .record = {kEarly}},
    {.name = "bad tweak and the provider missing: the provider", .caller = Runner, .tweaks = kQuiescedText,
     .install = {}, .end = endedEarly(-1006, -1006, "thaw_complete_ms=-1"),
     .errors = {"OpenService failed with error code 1060", "failed to start vss provider service due to :1060"},
     .record = {kEarly}},
    {.name = "thaw-start timeout that is text: not read in the default mode",
     .tweaks = "t_requesterEventWaitForThawStartTimeoutMsec=\"abc\""},
};
// clang-format on

// The guards' record when they ran (each step worked: the bcdedit stand-in
// exits with 0) and when they never did.
const char kGuardsRan[] = R"({"runOnce":{"registered":true,"removed":true},"bcdedit":{"disable":0,"enable":0},
    "lastAliveStamp":{"error":null,"restored":true,"save":"saved"}})";
const char kGuardsIdle[] = R"({"runOnce":{"registered":null,"removed":null},"bcdedit":{"disable":null,
    "enable":null},"lastAliveStamp":{"error":null,"restored":null,"save":null}})";

// The run's one record line against the row, and its frozen window against
// the provider's.
void expectRecord(const Row& row, const Json& record, StandInFields freeze) {
    expectRecordHolds(record,
                      R"({"exit":)" + std::to_string(row.end.exit) + R"(,"status":)" +
                          (row.end.status == kNeverWritten ? "null" : std::to_string(row.end.status)) +
                          R"(,"guards":)" + (row.end.touched ? kGuardsRan : kGuardsIdle) + R"(,"outcome":")" +
                          row.end.verdict + "\"}");
    for (const std::string& members : row.record)
        expectRecordHolds(record, members);
    if (row.end.held.minMs < 0) {
        EXPECT_TRUE(record["frozenMs"].is_null()) << record.dump();
    } else if (freeze["freeze"] == "held") {
        expectWindowWithinProviders(record, freeze["held_us"]);
    } else if (freeze["freeze"] == "thaw_timeout") {
        // The provider gave up first: the agent's window is the longer one.
        ASSERT_TRUE(record["frozenMs"].is_number()) << record.dump();
        EXPECT_LE(std::stod(freeze["waited_ms"]) - 2.0, record["frozenMs"].get<double>());
    }
}

class FaultMatrix : public StandInRunTest {
protected:
    // Runs the agent as `caller` asks, with a server of `options` where one
    // is needed; its exit code and what was printed.
    ChildResult run(Caller caller, const Args& options, const std::string& serverName) {
        if (caller == Runner)
            return runRunner(options);
        if (caller == NoRunner)
            return runAgent({L"-ExternallyInitiated"});
        if (caller == BadCommandLine)
            return runAgent({L"127.0.0.1"});
        std::unique_ptr<Server> server;
        std::wstring port = L"1"; // nothing listens there
        if (caller != NoServer) {
            server.reset(new Server(m_dir, serverName, options));
            port = server->port();
        }
        ChildResult result =
            runAgent(caller == PeerOnly      ? Args{L"localhost", L"1", L"127.0.0.1", port, L"abc"}
                     : caller == LocalAsPeer ? Args{L"127.0.0.1", port, L"127.0.0.1", port, L"abc"}
                                             : Args{L"127.0.0.1", port, L"0.0.0.0", L"0", L"abc"});
        if (server)
            m_lastRequests = server->requests();
        return result;
    }

    // Prepares the machine as `row` asks and runs the agent once; its exit
    // code, output and the status the section held at the end.
    void runRow(const Row& row, int attempt, ChildResult& result, int& status) {
        provider({L"--uninstall"});
        if (!row.install.empty()) {
            ASSERT_EQ(0, provider(row.install).exitCodeSigned());
        }
        m_standIn.configure(row.standIn + "\n");
        m_standIn.clearRecords();
        tweaks(kRealRequester + row.tweaks);
        ASSERT_TRUE(AgentRegistry::setLastAliveStamp(kStamp));
        DeleteFileA((agentLogs() + "current.log.txt").c_str());
        DeleteFileA((agentLogs() + "runs.jsonl").c_str());
        if (row.prepare != nullptr)
            row.prepare(m_dir.path().string());
        m_lastRequests.clear();
        {
            StatusSection section;
            result = run(row.caller, row.options, "server" + std::to_string(attempt));
            status = section.status();
        }
        undoPrepare(m_dir.path().string());
    }

    // What went wrong in the platform rather than in the agent, or empty.
    static std::string platformFaultOfTheRun(const Row& row) {
        for (const LogRecord& record : currentRun())
            if (record.message == "StartService failed with error code 1359" && row.end.exit != -1007)
                return "the service manager refused the start (1359)";
        // No row makes the stand-in itself answer 9009.
        for (const std::string& line : runRecordLines())
            if (line.find("\"bcdedit\":{\"disable\":9009") != std::string::npos ||
                line.find(",\"enable\":9009}") != std::string::npos)
                return "the command interpreter found no bcdedit (9009)";
        return std::string();
    }

    std::vector<Fields> m_lastRequests;
};

// One test per row, named after it (FaultRow.EndsWithTheMachineAsBefore/ServerDown):
// ctest lists each, runs each in a process of its own with its own time-out,
// and reruns one by name.
class FaultRow : public FaultMatrix, public ::testing::WithParamInterface<const Row*> {};

TEST_P(FaultRow, EndsWithTheMachineAsBefore) {
    const Row& row = *GetParam();
    int attempt = 1;
    int status = 0;
    ChildResult result;
    runRow(row, attempt++, result, status);
    ASSERT_FALSE(HasFatalFailure());
    // Now and then Wine fails a call the agent makes on the platform's
    // behalf, for no reason of the agent's: the service manager refuses to
    // start the service just installed anew (StartService gives 1359,
    // ERROR_INTERNAL_ERROR), or the command interpreter does not find the
    // bcdedit stand-in first on the path (9009). Such a row is run once
    // more, and fails if it happens again.
    const std::string platformFault = platformFaultOfTheRun(row);
    if (!platformFault.empty()) {
        rowDone(std::string(row.name) + " | " + platformFault + ": once more");
        runRow(row, attempt++, result, status);
        ASSERT_FALSE(HasFatalFailure());
    }
    EXPECT_EQ(row.end.exit, result.exitCodeSigned()) << result.output;
    EXPECT_EQ(row.end.status, status);
    EXPECT_NE(std::string::npos, result.output.find(row.end.output)) << result.output;

    long held = m_standIn.writersHeldMs(1);
    EXPECT_LE(row.end.held.minMs, held);
    EXPECT_GE(row.end.held.maxMs, held);
    const bool restored = machineAsBefore(row.end.touched);
    EXPECT_TRUE(restored) << m_standIn.bcdeditCalls().size() << " bcdedit calls";
    // The service object is released on every path that created it.
    std::vector<std::string> calls = m_standIn.calls(1);
    if (calls.size() > 1) {
        EXPECT_EQ("Release", calls.back());
    }
    // The server is pinged, then asked for one checkpoint for the machine's
    // MAC addresses and the encoded tag, only while the writers are held.
    std::vector<LogRecord> log = currentRun();
    std::string macs;
    for (const LogRecord& record : log)
        if (record.message.compare(0, 5, "MAC: ") == 0)
            macs += (macs.empty() ? "" : "%20") + record.message.substr(5);
    StandInFields freeze = m_standIn.find(1, "freeze");
    size_t checkpoints = 0;
    for (const Fields& request : m_lastRequests) {
        EXPECT_EQ("OrVEL Agent/1.0", request.at("ua"));
        if (request.at("kind") == "ping") {
            EXPECT_EQ("/KosService/AgentServer/ping", request.at("path"));
            continue;
        }
        ++checkpoints;
        if (!log.empty()) {
            EXPECT_EQ(kCheckpointPrefix + macs + "/YQBiAGMA", request.at("path"));
        }
        if (freeze["freeze"] == "held") {
            EXPECT_LE(freeze["quiesced_time"], request.at("time"));
            EXPECT_GE(freeze["thaw_time"], request.at("time"));
        }
    }
    EXPECT_GE(1u, checkpoints);

    ASSERT_EQ(row.end.recorded ? 1u : 0u, runRecordLines().size());
    if (row.end.recorded)
        expectRecord(row, lastRunRecord(), freeze);

    // Each Error record, cut to the length of the start expected in its place.
    std::vector<std::string> errors;
    for (const LogRecord& record : log)
        if (record.level == "Error" && record.message.compare(0, strlen(kFlowRecord), kFlowRecord) != 0)
            errors.push_back(record.message.substr(
                0, errors.size() < row.errors.size() ? row.errors[errors.size()].size() : std::string::npos));
    EXPECT_EQ(row.errors, errors);
    expectInOrder(log, row.records);
    expectNothingLeftBehind();
    AgentRegistry::deleteRunOnceValue();
    rowDone(std::string(row.name) + " | exit " + std::to_string(result.exitCodeSigned()) + " | status " +
            std::to_string(status) + " | held " + (held < 0 ? "-" : std::to_string(held)) + " ms | " +
            (restored ? (row.end.touched ? "restored" : "untouched") : "NOT RESTORED"));
}

// How a row shows in test listings and failures: by its name, not its address.
void PrintTo(const Row* row, std::ostream* out) {
    *out << row->name;
}

std::vector<const Row*> allRows() {
    std::vector<const Row*> rows;
    for (const Row& row : kRows)
        rows.push_back(&row);
    return rows;
}

// "GatherWriterMetadata's wait fails" -> "GatherWriterMetadataWaitFails".
std::string rowTestName(const ::testing::TestParamInfo<const Row*>& info) {
    std::string name;
    bool wordStart = true;
    for (const char* c = info.param->name; *c != '\0'; ++c) {
        if (c[0] == '\'' && c[1] == 's') {
            ++c;
            continue;
        }
        if (!std::isalnum(static_cast<unsigned char>(*c))) {
            wordStart = true;
            continue;
        }
        name += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
        wordStart = false;
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(, FaultRow, ::testing::ValuesIn(allRows()), rowTestName);

// The in-progress markers beside the run record, as the next run reads them.
std::vector<std::string> runMarkerFiles() {
    std::vector<std::string> paths;
    const std::string folder = logFolder() + "\\";
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "OrvelVssAgent.exe.run-*.inprogress").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return paths;
    do
        paths.push_back(folder + found.cFileName);
    while (FindNextFileA(find, &found));
    FindClose(find);
    return paths;
}

std::vector<RunRecordMarker> runMarkers() {
    std::vector<RunRecordMarker> markers;
    for (const std::string& path : runMarkerFiles()) {
        RunRecordMarker marker;
        EXPECT_TRUE(RunRecordMarker::parse(TempWorkingDir::readFile(path), marker)) << path;
        markers.push_back(marker);
    }
    return markers;
}

// A moment of a run, as the stand-ins record it.
typedef bool (*Reached)(const VssStandIn& standIn, const Server& server);

// The agent ended by TerminateProcess at each point of a run: what it leaves
// is what README tells operators, and the next run finds a machine it can
// work on (the killed agent's mutex is abandoned, not held) and puts the
// boot policy back.
TEST_F(FaultMatrix, KilledAtEachPointOfARun) {
    const struct {
        const char* name;
        Args server;
        std::string standIn;
        std::string tweaks;
        bool relaxed;        // killed while the guards held the machine state
        size_t bcdeditCalls; // before the next run
        Reached reached;
    } rows[] = {
        // clang-format off
        {"before the freeze: during the ping", {L"--silent-on", L"ping", L"--lifetime-ms", L"20000"}, "", "", false,
         0, [](const VssStandIn&, const Server& server) { return !server.requests().empty(); }},
        {"before the freeze: requester waits for it", {}, "freeze=delay:5000\n", "", true, 1,
         [](const VssStandIn& standIn, const Server&) { return !standIn.find(1, "call", "DoSnapshotSet").empty(); }},
        {"in the frozen window", {L"--silent-on", L"checkpoint", L"--lifetime-ms", L"20000"}, "", "", true, 1,
         [](const VssStandIn& standIn, const Server&) { return !standIn.find(1, "registry").empty(); }},
        {"after the thaw: second snapshot", {}, "async.GatherWriterMetadata@2=delay:5000\n", "", false, 2,
         [](const VssStandIn& s, const Server&) { return !s.find(2, "call", "GatherWriterMetadata").empty(); }},
        // The second session's object released.
        {"after the thaw: final wait", {}, "", "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=20000", false, 2,
         [](const VssStandIn& s, const Server&) { return !s.calls(2).empty() && s.calls(2).back() == "Release"; }},
        // clang-format on
    };
    Server next(m_dir, "next");
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<RunRecordMarker> killedRun;
        m_standIn.configure(row.standIn);
        m_standIn.clearRecords();
        tweaks(kRealRequester + row.tweaks);
        ASSERT_TRUE(AgentRegistry::setLastAliveStamp(kStamp));
        {
            Server server(m_dir, "killed" + std::to_string(++index), row.server);
            BackgroundChild agent(program(L"OrvelVssAgent.exe"),
                                  {L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"}, agentOptions());
            for (int i = 0; i < 1000 && !row.reached(m_standIn, server); ++i)
                Sleep(10);
            ASSERT_TRUE(row.reached(m_standIn, server));
            Sleep(100); // into the moment, not at its edge
            killedRun = runMarkers();
            EXPECT_EQ(ChildProcess::kKilledExitCode, agent.finish(0).exitCode);
        }
        // The killed run had cleared older runs' markers at its start.
        ASSERT_EQ(1u, killedRun.size());
        std::vector<unsigned char> stamp;
        std::string runOnce;
        EXPECT_EQ(!row.relaxed, AgentRegistry::lastAliveStamp(stamp));
        AgentRegistry::runOnceValue(runOnce);
        EXPECT_EQ(row.relaxed ? kEnableCommand : "", runOnce);
        EXPECT_EQ(row.bcdeditCalls, m_standIn.bcdeditCalls().size());

        // The next run: the enable command runs again and the entry goes.
        m_standIn.configure("");
        tweaks(kRealRequester);
        EXPECT_EQ(0, runAgent({L"127.0.0.1", next.port(), L"0.0.0.0", L"0", L"abc"}).exitCodeSigned());
        std::vector<StandInFields> bcdedit = m_standIn.bcdeditCalls();
        ASSERT_EQ(row.bcdeditCalls + 2, bcdedit.size());
        EXPECT_EQ("/set {default} bootstatuspolicy displayallfailures", bcdedit.back()["args"]);
        EXPECT_EQ(!row.relaxed, AgentRegistry::lastAliveStamp(stamp)); // a lost stamp stays lost
        // The next run names the killed one and what it left of the machine
        // state; it leaves no marker itself, and the killed run's is gone.
        Json killed = {{"run", killedRun[0].run},
                       {"pid", killedRun[0].pid},
                       {"start", killedRun[0].start},
                       {"runOncePresent", row.relaxed},
                       {"lastAliveStampPresent", !row.relaxed}};
        expectRecordHolds(lastRunRecord(), Json{{"previousRunUnfinished", Json::array({killed})}}.dump());
        EXPECT_TRUE(runMarkers().empty());
        expectNothingLeftBehind();
        rowDone(row.name);
    }
}

// Repeated default-mode runs (ORVEL_SOAK_RUNS, 10 unless set; `make soak`
// runs 50): each leaves nothing behind, its ".current" log holds that run
// alone, the server's handles do not grow, and the main log rotates at its
// size (the file is filled up to just below it) keeping the configured
// number of rotated files.
TEST_F(FaultMatrix, RepeatedRunsLeaveNothingBehind) {
    const char* fromEnvironment = std::getenv("ORVEL_SOAK_RUNS");
    const int runs = fromEnvironment != nullptr ? std::atoi(fromEnvironment) : 10;
    ASSERT_GE(runs, 8) << "the handle check needs a few runs to tell a leak from a step";
    Server server(m_dir, "server", {L"--lifetime-ms", std::to_wstring(runs * 5000), L"--count-handles"});
    // The run record's two files are held to 12 KiB together, 6 KiB each: a
    // few lines each, so the runs rotate it.
    const size_t recordBound = 12288;
    tweaks(kRealRequester +
           "t_FileLoggerMaxFilesOverride=2\nt_runRecordMaxBytes=" + std::to_string(recordBound));
    const std::string logs = agentLogs();
    DeleteFileA((logs + "runs.jsonl").c_str());
    DeleteFileA((logs + "runs.1.jsonl").c_str());
    std::vector<std::string> runIds;
    size_t rotations = 0;
    size_t previousLines = 0;
    auto rotated = [&](int index) { return logs + "log00000" + std::to_string(index) + ".txt.gz"; };
    DeleteFileA((logs + "log.txt").c_str());
    for (int i = 1; i <= 9; ++i)
        DeleteFileA(rotated(i).c_str());
    TempWorkingDir::writeFile(rotated(1), "one\n");
    TempWorkingDir::writeFile(rotated(2), "two\n");
    ASSERT_TRUE(AgentRegistry::setLastAliveStamp(kStamp));

    std::vector<unsigned long> handles;
    const ULONGLONG start = GetTickCount64();
    for (int run = 1; run <= runs; ++run) {
        SCOPED_TRACE(run);
        m_standIn.clearRecords();
        StatusSection section;
        EXPECT_EQ(0, runAgent({L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"}).exitCodeSigned());
        EXPECT_EQ(0, section.status());
        EXPECT_LE(0, m_standIn.writersHeldMs(1));
        EXPECT_GE(2500, m_standIn.writersHeldMs(1));
        const std::string current = TempWorkingDir::readFile(logs + "current.log.txt");
        EXPECT_EQ(1u, countOf(current, "-----------------Log Start-----"));
        EXPECT_EQ(1u, countOf(current, "OrvelVssAgent.exe done. ret=0 "));
        EXPECT_TRUE(machineAsBefore(true));
        expectNothingLeftBehind();
        std::vector<Fields> requests = server.requests();
        ASSERT_FALSE(requests.empty());
        handles.push_back(std::stoul(requests.back().at("handles")));
        // One more line each run, or, past the bound, the file moved to the
        // older one and this run's line alone in a new one.
        const std::string records = TempWorkingDir::readFile(logs + "runs.jsonl");
        const std::string older = TempWorkingDir::readFile(logs + "runs.1.jsonl");
        const std::vector<std::string> lines = runRecordLines();
        if (lines.size() == 1 && run > 1) {
            ++rotations;
            EXPECT_NE(std::string::npos, older.find("\"run\":\"" + runIds.back() + "\"")) << older;
        } else {
            EXPECT_EQ(previousLines + 1, lines.size());
        }
        previousLines = lines.size();
        EXPECT_GE(recordBound / 2, records.size());
        EXPECT_GE(recordBound / 2, older.size());
        const Json record = lastRunRecord();
        expectRecordHolds(record, R"({"exit":0,"consistent":true})");
        runIds.push_back(record.value("run", ""));
        if (run == 1) {
            // Filled to half a run below the rotation size: the next run rotates.
            const std::string main = TempWorkingDir::readFile(logs + "log.txt");
            const size_t fill = 10485760 - main.size() / 2 - main.size();
            TempWorkingDir::writeFile(logs + "log.txt", main + std::string(fill - 1, '#') + "\n");
        }
    }
    const ULONGLONG elapsed = GetTickCount64() - start;
    std::sort(runIds.begin(), runIds.end());
    EXPECT_EQ(runIds.end(), std::adjacent_find(runIds.begin(), runIds.end())) << "a run id repeats";
    // A line is over 1 KiB: six fill one file, so eight runs rotate at least once.
    EXPECT_LE(1u, rotations);
    // Rotated once, into index 3; index 1 went to keep two.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(rotated(1).c_str()));
    EXPECT_EQ("two\n", TempWorkingDir::readFile(rotated(2)));
    const std::string third = TempWorkingDir::readFile(rotated(3));
    const std::string main = TempWorkingDir::readFile(logs + "log.txt");
    EXPECT_LE(10485760u, third.size());
    EXPECT_GT(10485760u + 65536u, third.size());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(rotated(4).c_str()));
    EXPECT_EQ(static_cast<size_t>(runs), countOf(third + main, "-----------------Log Start-----"));
    // A leak of a handle or more per run raises the count by at least one per
    // run after the second (the first run's connections create a few for
    // good). The server's own threads come and go on their own schedule, so
    // a step of a few handles at any point is no leak: growth below half the
    // runs it is measured over passes, a handle per run never does.
    const long growth = static_cast<long>(handles.back()) - static_cast<long>(handles[1]);
    EXPECT_LT(2 * growth, runs - 2) << "the server's handles grew by " << growth << " over " << runs - 2
                                    << " runs";
    std::string handleList;
    for (unsigned long count : handles)
        handleList += std::to_string(count) + " ";
    rowDone(std::to_string(runs) + " runs, " + std::to_string(elapsed / runs) +
            " ms each; server handles: " + handleList);
}

// Two agents started at once, in each mode: the machine-wide mutex lets one
// work at a time up to its release, so the first agent's freeze is whole and
// the server sees two whole sequences. The mutex is released before the
// second snapshot, and the runner hears thaw complete only after it: the
// second agent may freeze in between (the runner sees FFTT), and the first
// agent's second snapshot may then meet the second agent's events, so that
// the provider plays that agent's handshake for whichever snapshot set
// commits first (and vetoes the other after its own bound). Both runs still
// end normally and put the machine back.
TEST_F(FaultMatrix, TwoAgentsAtOnceRunOneAfterTheOther) {
    Server server(m_dir, "server", {L"--checkpoint-delay-ms", L"300"});
    // Already running: two agents that both find it stopped race to start it,
    // and the loser's start fails.
    ASSERT_EQ(0, provider({L"--start"}).exitCodeSigned());
    ASSERT_TRUE(AgentRegistry::setLastAliveStamp(kStamp));
    for (bool external : {false, true}) {
        SCOPED_TRACE(external ? "externally initiated" : "default mode");
        m_standIn.clearRecords();
        DeleteFileA((agentLogs() + "runs.jsonl").c_str());
        for (const std::string& stale : runMarkerFiles())
            DeleteFileA(stale.c_str());
        const Args args = external ? Args{L"-ExternallyInitiated"}
                                   : Args{L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"};
        std::string seen; // what a runner sees: F freeze complete, T thaw complete
        {
            WinHandle freezeComplete(
                CreateEventA(nullptr, FALSE, FALSE, "Global\\OrvelRunnerEventFreezeComplete"));
            WinHandle thawStart(CreateEventA(nullptr, FALSE, FALSE, "Global\\OrvelRunnerEventThawStart"));
            WinHandle thawComplete(
                CreateEventA(nullptr, FALSE, FALSE, "Global\\OrvelRunnerEventThawComplete"));
            BackgroundChild first(program(L"OrvelVssAgent.exe"), args, agentOptions());
            BackgroundChild second(program(L"OrvelVssAgent.exe"), args, agentOptions());
            // Thaw complete first: when both are set by the time this loop
            // looks, the first agent's thaw may have come first.
            const HANDLE events[] = {thawComplete.get(), freezeComplete.get()};
            while (external && seen.size() < 4) {
                DWORD which = WaitForMultipleObjects(2, events, FALSE, 20000);
                if (which == WAIT_OBJECT_0 + 1) {
                    seen += "F";
                    SetEvent(thawStart.get());
                } else if (which == WAIT_OBJECT_0) {
                    seen += "T";
                } else {
                    break;
                }
            }
            EXPECT_EQ(0, first.finish(30000).exitCodeSigned());
            EXPECT_EQ(0, second.finish(30000).exitCodeSigned());
        }
        if (external) {
            EXPECT_TRUE(seen == "FTFT" || seen == "FFTT") << seen;
        } else {
            EXPECT_EQ("ping,checkpoint,ping,checkpoint", server.kinds());
        }
        EXPECT_EQ("held", m_standIn.find(1, "freeze")["freeze"]);
        std::vector<unsigned char> stamp;
        std::string runOnce;
        EXPECT_TRUE(AgentRegistry::lastAliveStamp(stamp) && stamp == kStamp);
        EXPECT_FALSE(AgentRegistry::runOnceValue(runOnce));
        EXPECT_EQ(4u, m_standIn.bcdeditCalls().size());
        // Two whole lines of two runs, neither taking the other for an
        // unfinished one, and no marker left.
        std::vector<std::string> lines = runRecordLines();
        ASSERT_EQ(2u, lines.size());
        Json records[2];
        for (int i = 0; i < 2; ++i) {
            records[i] = Json::parse(lines[i], nullptr, false);
            expectRecordHolds(records[i], R"({"exit":0,"previousRunUnfinished":[]})");
        }
        EXPECT_NE(records[0].value("run", ""), records[1].value("run", ""));
        EXPECT_TRUE(runMarkers().empty());
        rowDone(external ? "two agents, externally initiated" : "two agents, default mode");
    }
}
} // namespace
#endif
