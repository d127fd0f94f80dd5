// Whole runs, one row each, with the real requester against the stand-ins of
// the provider service, the shadow-copy service (which plays the provider's
// freeze), the runner and the management server: whole backups, then every
// party failing in turn. A row is judged as the machine's owner would: the
// exit code, the status a runner reads last, how long the writers were held,
// and whether the machine is as before (LastAliveStamp back, no RunOnce entry,
// the boot policy relaxed and put back, or never touched) with nothing left
// running. What the flow decides on its own (its waits, the order of its
// notices) is the subject of its unit test; the rows here are about the
// platform's parts. Then the agent killed at each point of a run, repeated
// runs, and two agents started at once.
#ifdef _WIN32
#include "AgentCommon/RunRecordMarker.h"
#include "support/VssStandIn.h"
#include "windows/WinHandle.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {
const char kFlowRecord[] = "launchVssRequesterDoSnapshot failed with error : ";
const char kNotDelivered[] = "checkpointNotDelivered";
const char kSuccessLine[] = "The VSS checkpoint request has been initiated.\r\n";
const char kEnableCommand[] = "bcdedit /set {default} bootstatuspolicy displayallfailures";
const std::vector<unsigned char> kStamp = {1, 2, 3, 4, 0xfd, 0xfe, 0xff, 0};
const int kVeto = static_cast<int>(0x80042306);
// What the section holds when nobody wrote to it (the runner's own mark).
const int kNeverWritten = 0x7FFFFFFF;

// The runner's status section, held open across a run.
class StatusSection {
public:
    StatusSection() { *m_view = kNeverWritten; }
    ~StatusSection() { UnmapViewOfFile(m_view); }
    int status() const { return *m_view; }

private:
    WinHandle m_mapping{CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 200,
                                           L"Global\\ProcessSharedMemory")};
    int* m_view = static_cast<int*>(MapViewOfFile(m_mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 200));
};

// The agent's frozen window in its run record against the provider's of the
// same run (held_us), on interval order alone, never on how fast a wake-up
// came. The agent's starts once its wait has returned and ends as it sets the
// thaw, so it lies within the provider's, give or take the few instructions
// between its SetEvent and its clock (2 ms of slack); a requester that failed
// may have released the wait itself before the provider froze, and then the
// agent's starts first. Inside it lie the status write and, in the default
// mode, the checkpoint GET whole.
void expectWindowWithinProviders(const Json& record, const std::string& heldUs) {
    ASSERT_TRUE(record["frozenMs"].is_number()) << record.dump();
    const double frozen = record["frozenMs"];
    if (record["requesterResult"] == 0) {
        EXPECT_LE(frozen, std::stod(heldUs) / 1000.0 + 2.0);
    }
    ASSERT_TRUE(record["statusWriteMs"].is_number()) << record.dump();
    double inside = record["statusWriteMs"];
    EXPECT_GT(inside, 0.0);
    for (const Json& server : record["servers"])
        if (server["checkpoint"].is_object())
            inside += server["checkpoint"]["ms"].get<double>();
    // Each figure is rounded to the microsecond.
    EXPECT_LE(inside, frozen + 0.005);
}

// Who asks for the snapshot: the agent with a management server (as local,
// as peer behind a local one that is down, or none), or -ExternallyInitiated
// with or without the runner.
enum Caller { Local, PeerOnly, NoServer, Runner, NoRunner, BadCommandLine };

// How long the provider held the writers in the first session, in ms.
struct Held {
    long minMs, maxMs;
};
const Held kHeld = {0, 2500};
const Held kNeverFrozen = {-1, -1};

// What a run comes to: its exit code (the guards relaxed the machine, and put
// it back, exactly when it is 0), the status the section holds at the end,
// the writers' hold, what it (or the runner) printed and the record's verdict.
struct Outcome {
    int exit = 0;
    int status = 0;
    Held held = kHeld;
    const char* output = kSuccessLine;
    const char* verdict = "ok";
};
// The run succeeds; the requester's result is the status: no snapshot.
Outcome requesterFailed(int status, Held held = kNeverFrozen) {
    return {0, status, held, kSuccessLine, "failed"};
}
Outcome endedEarly(int exit, int status = kNeverWritten, const char* output = "") {
    return {exit, status, kNeverFrozen, output, exit == 1 ? "usage" : "failed"};
}
// A bad tweak ended the process where it was read, as an internal
// consistency check does (3); its line is written without the log.
const Outcome kAsserted = endedEarly(3);
const Outcome kNoService = endedEarly(-1006, -1006, "thaw_complete_ms=-1");

struct Row {
    const char* name;
    Caller caller = Local;
    Args options = {}; // the server's, or the runner's
    std::string standIn = "";
    std::string tweaks = "";
    bool logFolderIsAFile = false; // the agent runs without its logs, and writes no record line
    Args install = {L"--install"}; // the provider service's; empty: not installed
    Args keywords = {};            // after the agent's five arguments
    bool stamp = true;             // LastAliveStamp present before the run
    // What the shadow-copy service saw in the first session: the backup
    // type, the volumes added (when frozen).
    const char* type = "5";
    size_t added = 2;
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
const char kBothSnapshots[] = R"({"requesterResult":0,"secondSnapshot":0})";
// The guards' record when they ran (each step worked: the bcdedit stand-in
// exits with 0) and when they never did.
const char kGuardsRan[] =
    R"({"runOnce":{"registered":true,"removed":true},"bcdedit":{"disable":0,"enable":0}})";
const char kStampSaved[] = R"({"lastAliveStamp":{"error":null,"restored":true,"save":"saved"}})";
const char kStampAbsent[] = R"({"lastAliveStamp":{"error":2,"restored":null,"save":"absent"}})";
const char kGuardsIdle[] = R"({"runOnce":{"registered":null,"removed":null},"bcdedit":{"disable":null,
    "enable":null},"lastAliveStamp":{"error":null,"restored":null,"save":null}})";

// A wait given as text where a number belongs.
const char kQuiescedText[] = "t_requesterQuiescedEventWaitTimeoutMsec=\"abc\"";

// clang-format off
const Row kRows[] = {
    // The provider service, as the service manager reports it (how the start
    // sequence reads the reports is ServiceUtilsTest's). Only a failed call
    // stops the run: a start that never ends is reported and the snapshot goes on.
    {.name = "ServiceStartPendingPastItsHint", .caller = Runner, .install = {L"--install", L"--stall-start", L"--wait-hint-ms",
     L"0"}, .errors = {"Service not started.", "Current State: 2", "Exit Code: 0", "Check Point: 1", "Wait Hint: 0"}},
    // The runner learns of the failure from the status, written before freeze complete.
    {.name = "ServiceMissing", .caller = Runner, .install = {}, .end = kNoService, .errors = {"OpenService failed with error code 1060",
     "failed to start vss provider service due to :1060"}, .records = {
     "writing -1006 to shared memory buffer", "fire event  eventNameStr=Global\\OrvelRunnerEventFreezeComplete "}, .record =
     {kEarly, R"({"statusName":"providerServiceMissing","runner":{"thawStart":null,"readNotification":"received"}})"}},
    {.name = "ServiceDisabled", .caller = Runner, .install = {L"--install", L"--disabled"}, .end = endedEarly(-1007, -1007,
     "thaw_complete_ms=-1"), .record = {kEarly}},

    // One call of the backup failing in the first session, of each kind: the
    // result reported, the run itself succeeds. Before the snapshot set the
    // failing requester releases the flow: nothing is frozen.
    {.name = "StartSnapshotSetFails", .standIn = "fail.StartSnapshotSet@1=0x80042316", .end = requesterFailed(int(0x80042316)),
     .errors = {"StartSnapshotSet failed with error code 80042316 (Another shadow copy creation is already in progress. "
     "Please wait a few moments and try again) "}, .records = {"AbortBackup..."},
     .record = {R"({"statusName":"VSS_E_SNAPSHOT_SET_IN_PROGRESS","failedStep":"StartSnapshotSet"})", kInconsistent}},
    {.name = "GatherWriterMetadataWaitFails", .standIn = "async.GatherWriterMetadata@1=wait:0x80042302", .end =
     requesterFailed(1)},
    {.name = "PrepareForBackupEndsWithAnError", .standIn = "async.PrepareForBackup@1=status:0x80042315", .end =
     requesterFailed(1)},
    {.name = "GatherWriterStatusFails", .standIn = "fail.GatherWriterStatus#1@1=0x80042301", .end = requesterFailed(1)},
    {.name = "DoSnapshotSetRefusedProviderVeto", .standIn = "fail.DoSnapshotSet@1=0x80042306", .end = requesterFailed(kVeto),
     .errors = {"DoSnapshotSet failed with error code 80042306 (VSS_E_PROVIDER_VETO) "}, .records = {"AbortBackup..."},
     .record = {R"({"statusName":"VSS_E_PROVIDER_VETO","frozenMs":null})"}},
    // From here on the provider froze the writers; the flow's thaw released them.
    {.name = "BackupCompleteFails", .standIn = "fail.BackupComplete@1=0x80042301", .end = requesterFailed(int(0x80042301),
     kHeld), .record = {kInconsistent, kPingAnswered}},

    // Whole backups: the writers' states, the volumes by fragment, the backup type.
    {.name = "DefaultSequenceOneWriterFailedAtFreeze", .standIn = "writer=Db Writer|1|0\nwriter=Log Writer|9|0x800423f4",
     .end = {.verdict = "inconsistent"},
     .record = {kBothSnapshots, R"({"args":{"volumes":[],"backupType":-1},"consistent":false,"writers":[
     {"failed":false,"failure":0,"failureName":null,"name":"Db Writer","state":1,"stateName":"VSS_WS_STABLE"},
     {"failed":true,"failure":-2147212300,"failureName":"VSS_E_WRITERERROR_NONRETRYABLE","name":"Log Writer",
     "phase":"BackupComplete","state":9,"stateName":"VSS_WS_FAILED_AT_FREEZE"}]})"}},
    {.name = "VolumesByFragment", .keywords = {L"volumes=000000000043"}, .added = 1, .record = {kBothSnapshots,
     R"({"args":{"volumes":["000000000043"]},"consistent":true,"volumesAdded":[{"result":0}]})"}},
    {.name = "BackupType2NoWriters", .standIn = "writers=none", .keywords = {L"backupType=2"}, .type = "2",
     .record = {kBothSnapshots, R"({"args":{"backupType":2},"writers":[],"consistent":true})"}},
    {.name = "AbsentStamp", .stamp = false, .errors = {"Error 2 in RegQueryValueEx."}, .record = {kBothSnapshots}},

    // The runner, with the provider service found stopped and started: the
    // status is written before freeze complete, the thaw set once the
    // runner's thaw-start came (the rest of the order is the flow's own).
    {.name = "RunnerThawsAfter200Ms", .caller = Runner, .options = {L"--thaw-delay-ms", L"200"}, .end = {.held = {200, 2500}},
     .records = {"writing 0 to shared memory buffer", "receive freeze success, setting freeze event",
     "received event from runner to continue to thaw logic", "Setting thaw event"},
     .record = {kRunnerHeardBoth, R"({"consistent":true})"}},
    // The runner's thaw-start never comes, or nobody listens at all: the
    // agent's own bound ends the hold and the run goes on.
    {.name = "RunnerNeverThaws", .caller = Runner, .options = {L"--thaw", L"never"},
     .tweaks = "t_requesterEventWaitForThawStartTimeoutMsec=1000",
     .end = {.held = {1000, 3500}, .verdict = kNotDelivered},
     .errors = {"::WaitForSingleObject(quiescedEvent, 1000) returned WAIT_TIMEOUT"},
     .record = {R"({"runner":{"thawStart":"timedOut","readNotification":"received"}})"}},
    {.name = "RunnerAbsent", .caller = NoRunner, .tweaks = "t_requesterEventWaitForThawStartTimeoutMsec=1000",
     .end = {.held = {1000, 3500}, .verdict = kNotDelivered},
     .record = {R"({"runner":{"thawStart":"timedOut","readNotification":"timedOut"},"servers":[]})"}},
    // Set before the agent waits: the auto-reset event is still set.
    {.name = "RunnerThawsEarly", .caller = Runner, .options = {L"--thaw", L"early"}, .end = {.held = {0, 1500}},
     .record = {kRunnerHeardBoth}},
    {.name = "RunnerNeverReadsTheStatus", .caller = Runner, .options = {L"--no-read-notify"}, .tweaks =
     "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=1500",
     .record = {R"({"runner":{"thawStart":"received","readNotification":"timedOut"}})"}},

    // The management server.
    {.name = "ServerDown", .caller = NoServer, .end = endedEarly(-1002), .errors = {"Error 12029 in WinHttpSendRequest.",
     "notifyFreezePrepare failed with res=1 ", "SnapshotFlow failed ret=-1002 "},
     .records = {"No connection either to local or peer. doing nothing"},
     .record = {R"({"servers":[{"role":"local","ping":{"ok":false,"error":12029},"checkpoint":null}]})"}},
    // Nothing bounds the ping: the run waits for the server to go away.
    {.name = "ServerNeverAnswersThePing", .options = {L"--silent-on", L"ping", L"--lifetime-ms", L"1500"}, .end =
     endedEarly(-1002), .record = {R"({"servers":[{"role":"local","ping":{"ok":false,"error":12152},"checkpoint":null}]})"}},
    {.name = "LocalServerDownPeerUp", .caller = PeerOnly, .end = {.verdict = kNotDelivered},
     .record = {R"({"servers":[{"role":"local","host":"localhost",
     "ping":{"ok":false,"error":12029},"checkpoint":null},{"role":"peer","ping":{"ok":true},"checkpoint":{"ok":true}}]})"}},
    // Nothing of the agent's bounds the checkpoint request: the provider's own
    // bound releases the writers, and the agent learns of it from the veto.
    {.name = "ServerNeverAnswersTheCheckpoint", .options = {L"--silent-on", L"checkpoint", L"--lifetime-ms", L"3000"},
     .standIn = "thaw.wait.ms=1000", .end = requesterFailed(kVeto, {1000, 1700}), .record = {kCheckpointUnanswered}},
    {.name = "ServerClosesOnTheCheckpoint", .options = {L"--close-on", L"checkpoint"}, .end = {.verdict = kNotDelivered},
     .record = {kCheckpointUnanswered}},

    // The agent's own files.
    {.name = "LogFolderNotWritable", .logFolderIsAFile = true,
     .end = {.output = "failed to open logger file. going to work without logger"}},
    // Read as the files are, before the log is set up.
    {.name = "TweakFileAValueThatIsNoNumber", .tweaks = "t_FileLoggerEnabled=maybe", .end = kAsserted},
    // Values read only inside the run end it before the machine is touched.
    {.name = "NegativeShadowCopyWait", .tweaks = "t_WaitAsyncTimeoutMsec=-1", .end = kAsserted,
     .errors = {"Assertion (ival >= 0) failed"}},
    // Checked only once the command line and the provider service have had their say, and
    // only the tweaks this mode and requester read.
    {.name = "BadTweakAndAUsageErrorTheUsageError", .caller = BadCommandLine, .tweaks = kQuiescedText, .end = endedEarly(1,
     kNeverWritten, "Usage: OrvelVssAgent.exe"), .record = {kEarly}},
    {.name = "BadTweakAndTheProviderMissingTheProvider", .caller = Runner, .tweaks = kQuiescedText, .install = {},
     .end = kNoService, .record = {kEarly}},
    {.name = "ThawStartTimeoutThatIsTextNotReadInTheDefaultMode", .tweaks = "t_requesterEventWaitForThawStartTimeoutMsec=\"abc\""},
};
// clang-format on

class FaultMatrix : public StandInRunTest {
protected:
    void TearDown() override {
        AgentRegistry::deleteLastAliveStamp();
        StandInRunTest::TearDown();
        // A run that left its RunOnce entry failed above; the next starts clean.
        AgentRegistry::deleteRunOnceValue();
    }

    // Before a run: the stand-in's rules, no records of it yet, and the
    // LastAliveStamp kStamp (or none).
    void freshRun(const std::string& standIn, bool stamp = true) {
        m_standIn.configure(standIn);
        m_standIn.clearRecords();
        ASSERT_TRUE(stamp ? AgentRegistry::setLastAliveStamp(kStamp) : AgentRegistry::deleteLastAliveStamp());
    }

    // The machine as a run left it: LastAliveStamp back byte for byte as
    // REG_BINARY (or still absent), no RunOnce entry, and the boot policy
    // relaxed and put back (touched) or never changed.
    bool machineAsBefore(bool touched, bool stamp = true) const {
        std::vector<unsigned char> bytes;
        unsigned long type = 0;
        std::string runOnce;
        std::vector<Fields> bcdedit = m_standIn.bcdeditCalls();
        return AgentRegistry::lastAliveStamp(bytes, &type) == stamp &&
               (!stamp || (bytes == kStamp && type == REG_BINARY)) && !AgentRegistry::runOnceValue(runOnce) &&
               (touched ? bcdedit.size() == 2 &&
                              bcdedit[0]["args"] == "/set {current} bootstatuspolicy ignoreallfailures" &&
                              bcdedit[1]["args"] == "/set {default} bootstatuspolicy displayallfailures"
                        : bcdedit.empty());
    }

    // Prepares the machine as `row` asks and runs the agent once as the row's
    // caller asks, with a server of the row's options where one is needed.
    void runRow(const Row& row, int attempt) {
        provider({L"--uninstall"});
        if (!row.install.empty()) {
            ASSERT_EQ(0, provider(row.install).exitCodeSigned());
        }
        freshRun(row.standIn + "\n", row.stamp);
        tweaks(kRealRequester + row.tweaks);
        DeleteFileA((agentLogs() + "current.log.txt").c_str());
        clearRunRecord();
        const std::string aside = logFolder() + ".aside";
        if (row.logFolderIsAFile) {
            ASSERT_TRUE(MoveFileA(logFolder().c_str(), aside.c_str()));
            TempWorkingDir::writeFile(logFolder(), "");
        }
        {
            StatusSection section;
            std::unique_ptr<Server> server;
            if (row.caller == Local || row.caller == PeerOnly)
                server = std::make_unique<Server>(m_dir, "server" + std::to_string(attempt), row.options);
            if (row.caller == Runner) {
                m_result = runRunner(row.options);
            } else if (row.caller == NoRunner || row.caller == BadCommandLine) {
                m_result = runAgent({row.caller == NoRunner ? L"-ExternallyInitiated" : L"127.0.0.1"});
            } else {
                const std::wstring port = server ? server->port() : L"1"; // nothing listens on 1
                Args args = row.caller == PeerOnly ? Args{L"localhost", L"1", L"127.0.0.1", port, L"abc"}
                                                   : localServer(port);
                args.insert(args.end(), row.keywords.begin(), row.keywords.end());
                m_result = runAgent(args);
            }
            m_status = section.status();
            m_lastRequests = server ? server->requests() : std::vector<Fields>();
        }
        if (row.logFolderIsAFile) {
            DeleteFileA(logFolder().c_str());
            MoveFileA(aside.c_str(), logFolder().c_str());
        }
    }

    // What went wrong in the platform rather than in the agent in the last
    // run, or empty. A disabled service refuses its start on purpose.
    static std::string platformFaultOfTheRun(bool serviceDisabled = false) {
        for (const LogRecord& record : currentRun())
            if (record.message == "StartService failed with error code 1359" && !serviceDisabled)
                return "the service manager refused the start (1359)";
        // No test makes the stand-in itself answer 9009.
        const std::vector<std::string> lines = runRecordLines();
        if (!lines.empty() && (lines.back().find("\"bcdedit\":{\"disable\":9009") != std::string::npos ||
                               lines.back().find(",\"enable\":9009}") != std::string::npos))
            return "the command interpreter found no bcdedit (9009)";
        return std::string();
    }

    ChildResult m_result;
    int m_status = 0;
    std::vector<Fields> m_lastRequests;
};

// One test per row, named after it: ctest lists each, runs each in a process
// of its own with its own time-out, and reruns one by name.
class FaultRow : public FaultMatrix, public ::testing::WithParamInterface<Row> {};

TEST_P(FaultRow, EndsWithTheMachineAsBefore) {
    const Row& row = GetParam();
    runRow(row, 1);
    ASSERT_FALSE(HasFatalFailure());
    // Now and then Wine fails a call the agent makes on the platform's
    // behalf, for no reason of the agent's: the service manager refuses to
    // start the service just installed anew (StartService gives 1359,
    // ERROR_INTERNAL_ERROR), or the command interpreter does not find the
    // bcdedit stand-in first on the path (9009). Such a row is run once
    // more, and fails if it happens again.
    const std::string platformFault = platformFaultOfTheRun(row.end.exit == -1007);
    if (!platformFault.empty()) {
        std::cout << row.name << ": " << platformFault << ", once more" << std::endl;
        runRow(row, 2);
        ASSERT_FALSE(HasFatalFailure());
    }
    EXPECT_EQ(row.end.exit, m_result.exitCodeSigned()) << m_result.output;
    EXPECT_EQ(row.end.status, m_status);
    EXPECT_NE(std::string::npos, m_result.output.find(row.end.output)) << m_result.output;
    const long held = m_standIn.writersHeldMs(1);
    EXPECT_LE(row.end.held.minMs, held);
    EXPECT_GE(row.end.held.maxMs, held);
    const bool touched = row.end.exit == 0;
    EXPECT_TRUE(machineAsBefore(touched, row.stamp)) << m_standIn.bcdeditCalls().size() << " bcdedit calls";
    // The service object, and each operation the agent waited on, are
    // released on every path that created them; the service itself refuses
    // calls out of their documented order.
    const std::vector<std::string> calls = m_standIn.calls(1);
    if (calls.size() > 1) {
        EXPECT_EQ("Release", calls.back());
    }
    for (const std::string& call : calls)
        if (call.compare(0, 5, "Wait:") == 0) {
            EXPECT_EQ(std::count(calls.begin(), calls.end(), call),
                      std::count(calls.begin(), calls.end(), "Release:" + call.substr(5)))
                << call;
        }
    // What the service was asked for.
    Fields freeze = m_standIn.find(1, "freeze");
    size_t added = 0;
    for (Fields line : m_standIn.session(1)) {
        if (line["call"] == "SetBackupState") {
            EXPECT_EQ(row.type, line["type"]);
        } else if (line["call"] == "AddToSnapshotSet") {
            ++added;
            EXPECT_EQ("{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}", line["provider"]);
        } else if (line["call"] == "Wait") {
            EXPECT_EQ("7000", line["ms"]);
        }
    }
    if (freeze["freeze"] == "held") {
        EXPECT_EQ(row.added, added);
    }
    // The server is pinged, then asked for at most one checkpoint, for the
    // machine's MAC addresses and the encoded tag, only while the writers are held.
    const std::vector<LogRecord> log = currentRun();
    std::string macs;
    for (const LogRecord& record : log)
        if (record.message.compare(0, 5, "MAC: ") == 0)
            macs += (macs.empty() ? "" : "%20") + record.message.substr(5);
    size_t checkpoints = 0;
    for (const Fields& request : m_lastRequests) {
        EXPECT_EQ("OrVEL Agent/1.0", request.at("ua"));
        if (request.at("kind") == "ping") {
            EXPECT_EQ("/KosService/AgentServer/ping", request.at("path"));
            continue;
        }
        ++checkpoints;
        if (!log.empty()) {
            EXPECT_EQ("/KosService/AgentServer/insertlicensed/" + macs + "/YQBiAGMA", request.at("path"));
        }
        if (freeze["freeze"] == "held") {
            EXPECT_LE(freeze["quiesced_time"], request.at("time"));
            EXPECT_GE(freeze["thaw_time"], request.at("time"));
        }
    }
    EXPECT_GE(1u, checkpoints);

    // The run's one record line against the row, and its frozen window
    // against the provider's.
    ASSERT_EQ(row.logFolderIsAFile ? 0u : 1u, runRecordLines().size());
    if (!row.logFolderIsAFile) {
        const Json record = lastRunRecord();
        expectRecordHolds(record,
                          R"({"exit":)" + std::to_string(row.end.exit) + R"(,"status":)" +
                              (row.end.status == kNeverWritten ? "null" : std::to_string(row.end.status)) +
                              R"(,"guards":)" + (touched ? kGuardsRan : kGuardsIdle) + R"(,"outcome":")" +
                              row.end.verdict + "\"}");
        if (touched)
            expectRecordHolds(record["guards"], row.stamp ? kStampSaved : kStampAbsent);
        for (const std::string& members : row.record)
            expectRecordHolds(record, members);
        // The second snapshot the agent reports is one the service saw whole.
        if (record["secondSnapshot"] == 0) {
            EXPECT_FALSE(m_standIn.find(2, "call", "BackupComplete").empty());
        }
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

    // Each Error record, cut to the length of the start expected in its place.
    std::vector<std::string> errors;
    for (const LogRecord& record : log)
        if (record.level == "Error" && record.message.compare(0, strlen(kFlowRecord), kFlowRecord) != 0)
            errors.push_back(record.message.substr(
                0, errors.size() < row.errors.size() ? row.errors[errors.size()].size() : std::string::npos));
    if (!row.errors.empty()) {
        EXPECT_EQ(row.errors, errors);
    }
    // Each further record expected is matched by a later one than the one before.
    size_t next = 0;
    for (const std::string& start : row.records) {
        while (next < log.size() && log[next].message.compare(0, start.size(), start) != 0)
            ++next;
        ASSERT_LT(next, log.size()) << "missing, or out of order: " << start;
        ++next;
    }
}

// How a row shows in test listings and failures: by its name.
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

INSTANTIATE_TEST_SUITE_P(, FaultRow, ::testing::ValuesIn(kRows), ::testing::PrintToStringParamName());

// The agent ended by TerminateProcess at each point of a run: what it leaves
// is what README tells operators, and the next run finds a machine it can
// work on (the killed agent's mutex is abandoned, not held) and puts the
// boot policy back.
TEST_F(FaultMatrix, KilledAtEachPointOfARun) {
    // Where it is killed, the server's options and the stand-in's, whether the guards held the machine
    // state then, the bcdedit calls before the next run, and how the test knows that point is reached.
    typedef bool (*Reached)(const VssStandIn& standIn, const Server& server);
    const std::tuple<const char*, Args, std::string, bool, size_t, Reached> rows[] = {
        // clang-format off
        {"before the freeze: during the ping", {L"--silent-on", L"ping", L"--lifetime-ms", L"20000"}, "", false,
         0, [](const VssStandIn&, const Server& server) { return !server.requests().empty(); }},
        {"in the frozen window", {L"--silent-on", L"checkpoint", L"--lifetime-ms", L"20000"}, "", true, 1,
         [](const VssStandIn& s, const Server&) { return !s.find(1, "registry").empty(); }},
        {"after the thaw: second snapshot", {}, "async.GatherWriterMetadata@2=delay:5000\n", false, 2,
         [](const VssStandIn& s, const Server&) { return !s.find(2, "call", "GatherWriterMetadata").empty(); }},
        // clang-format on
    };
    Server next(m_dir, "next");
    int index = 0;
    for (const auto& [name, options, standIn, relaxed, bcdeditCalls, reached] : rows) {
        SCOPED_TRACE(name);
        RunRecordMarker killedRun;
        freshRun(standIn);
        {
            Server server(m_dir, "killed" + std::to_string(++index), options);
            BackgroundChild agent(program(L"OrvelVssAgent.exe"), localServer(server.port()), agentOptions());
            for (int i = 0; i < 1000 && !reached(m_standIn, server); ++i)
                Sleep(10);
            ASSERT_TRUE(reached(m_standIn, server));
            Sleep(100); // into the moment, not at its edge
            // The killed run had cleared older runs' markers at its start.
            const std::vector<std::string> markers = runMarkerFiles();
            ASSERT_EQ(1u, markers.size());
            const std::string killedMarker = TempWorkingDir::readFile(markers[0]);
            ASSERT_TRUE(RunRecordMarker::parse(killedMarker, killedRun)) << killedMarker;
            EXPECT_EQ(ChildProcess::kKilledExitCode, agent.finish(0).exitCode);
        }
        std::vector<unsigned char> stamp;
        std::string runOnce;
        EXPECT_EQ(!relaxed, AgentRegistry::lastAliveStamp(stamp));
        AgentRegistry::runOnceValue(runOnce);
        EXPECT_EQ(relaxed ? kEnableCommand : "", runOnce);
        EXPECT_EQ(bcdeditCalls, m_standIn.bcdeditCalls().size());

        // The next run: the enable command runs again and the entry goes.
        m_standIn.configure("");
        EXPECT_EQ(0, runAgent(localServer(next.port())).exitCodeSigned());
        std::vector<Fields> bcdedit = m_standIn.bcdeditCalls();
        ASSERT_EQ(bcdeditCalls + 2, bcdedit.size());
        EXPECT_EQ("/set {default} bootstatuspolicy displayallfailures", bcdedit.back()["args"]);
        EXPECT_EQ(!relaxed, AgentRegistry::lastAliveStamp(stamp)); // a lost stamp stays lost
        // The next run names the killed one and what it left of the machine
        // state; it leaves no marker itself, and the killed run's is gone.
        Json killed = {{"run", killedRun.run},
                       {"pid", killedRun.pid},
                       {"start", killedRun.start},
                       {"runOncePresent", relaxed},
                       {"lastAliveStampPresent", !relaxed}};
        expectRecordHolds(lastRunRecord(), Json{{"previousRunUnfinished", Json::array({killed})}}.dump());
        EXPECT_TRUE(runMarkerFiles().empty());
        expectNothingLeftBehind();
    }
}

// Repeated default-mode runs (ORVEL_SOAK_RUNS, 10 unless set; `make soak`
// runs 50): each leaves nothing behind, each has a run id of its own, and
// the server's handles do not grow.
TEST_F(FaultMatrix, RepeatedRunsLeaveNothingBehind) {
    const char* fromEnvironment = std::getenv("ORVEL_SOAK_RUNS");
    const int runs = fromEnvironment != nullptr ? std::atoi(fromEnvironment) : 10;
    ASSERT_GE(runs, 8) << "the handle check needs a few runs to tell a leak from a step";
    Server server(m_dir, "server", {L"--lifetime-ms", std::to_wstring(runs * 5000), L"--count-handles"});
    freshRun("");
    std::vector<unsigned long> handles;
    std::vector<std::string> runIds;
    for (int run = 1; run <= runs; ++run) {
        SCOPED_TRACE(run);
        // A run the platform failed is run once more, as a fault row is.
        ChildResult result;
        for (int attempt = 1; attempt <= 2; ++attempt) {
            m_standIn.clearRecords();
            result = runAgent(localServer(server.port()));
            const std::string platformFault = platformFaultOfTheRun();
            if (platformFault.empty())
                break;
            std::cout << "run " << run << ": " << platformFault << std::endl;
        }
        EXPECT_EQ(0, result.exitCodeSigned()) << result.output;
        EXPECT_LE(0, m_standIn.writersHeldMs(1));
        EXPECT_TRUE(machineAsBefore(true)) << m_standIn.bcdeditCalls().size() << " bcdedit calls";
        expectNothingLeftBehind();
        std::vector<Fields> requests = server.requests();
        ASSERT_FALSE(requests.empty());
        handles.push_back(std::stoul(requests.back().at("handles")));
        const Json record = lastRunRecord();
        expectRecordHolds(record, R"({"exit":0,"consistent":true})");
        runIds.push_back(record.value("run", ""));
    }
    std::sort(runIds.begin(), runIds.end());
    EXPECT_EQ(runIds.end(), std::adjacent_find(runIds.begin(), runIds.end())) << "a run id repeats";
    // A leak of a handle or more per run raises the count by at least one per
    // run after the second (the first run's connections create a few for
    // good). The server's own threads come and go on their own schedule, so
    // a step of a few handles at any point is no leak: growth below half the
    // runs it is measured over passes, a handle per run never does.
    const long growth = static_cast<long>(handles.back()) - static_cast<long>(handles[1]);
    EXPECT_LT(2 * growth, runs - 2) << "the server's handles grew by " << growth << " over " << runs - 2
                                    << " runs";
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
    for (bool external : {false, true}) {
        SCOPED_TRACE(external ? "externally initiated" : "default mode");
        freshRun("");
        clearRunRecord();
        const Args args = external ? Args{L"-ExternallyInitiated"} : localServer(server.port());
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
                const DWORD which = WaitForMultipleObjects(2, events, FALSE, 20000);
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
        EXPECT_TRUE(AgentRegistry::lastAliveStamp(stamp) && stamp == kStamp);
        EXPECT_EQ(4u, m_standIn.bcdeditCalls().size());
        // Two whole lines of two runs, neither taking the other for an
        // unfinished one, and no marker left.
        std::vector<std::string> lines = runRecordLines();
        ASSERT_EQ(2u, lines.size());
        for (const std::string& line : lines)
            expectRecordHolds(Json::parse(line, nullptr, false), R"({"exit":0,"previousRunUnfinished":[]})");
        EXPECT_NE(Json::parse(lines[0]).value("run", ""), Json::parse(lines[1]).value("run", ""));
        EXPECT_TRUE(runMarkerFiles().empty());
    }
}
} // namespace
#endif
