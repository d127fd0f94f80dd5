// Whole runs with the real requester against the stand-in of the shadow-copy
// service, which plays the provider's freeze, looks at the machine state while
// the writers are held, and injects faults; the guards' registry values and
// bcdedit calls are checked around each run.
#ifdef _WIN32
#include "support/AgentRun.h"
#include "support/VssStandIn.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {
const char kEnableCommand[] = "bcdedit /set {default} bootstatuspolicy displayallfailures";
const std::vector<unsigned char> kStamp = {1, 2, 3, 4, 0xfd, 0xfe, 0xff, 0};
const int kVeto = static_cast<int>(0x80042306);
const std::string kRealRequester = "t_requesterSimulativeVss=0\nt_WaitAsyncTimeoutMsec=7000\n";

// One whole session as the service sees it: the documented sequence, each
// operation waited for, its status queried and released, the writers
// reported after each phase, the object released last.
std::vector<std::string> sessionCalls(size_t volumes, size_t writers) {
    auto operation = [](std::vector<std::string>& calls, const std::string& method) {
        calls.insert(calls.end(), {method, "Wait:" + method, "QueryStatus:" + method, "Release:" + method});
    };
    std::vector<std::string> calls = {"CreateVssBackupComponentsInternal", "InitializeForBackup",
                                      "SetBackupState"};
    operation(calls, "GatherWriterMetadata");
    calls.push_back("StartSnapshotSet");
    calls.insert(calls.end(), volumes, "AddToSnapshotSet");
    for (const char* step : {"PrepareForBackup", "DoSnapshotSet", "BackupComplete"}) {
        operation(calls, step);
        operation(calls, "GatherWriterStatus");
        calls.push_back("GetWriterStatusCount");
        calls.insert(calls.end(), writers, "GetWriterStatus");
        calls.push_back("FreeWriterStatus");
    }
    calls.push_back("Release");
    return calls;
}

// The status the runner would read: the section is held open across the run.
class StatusSection {
public:
    StatusSection()
        : m_mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 200,
                                       L"Global\\ProcessSharedMemory")),
          m_view(static_cast<int*>(MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, 200))) {
        *m_view = 0x7FFFFFFF;
    }
    ~StatusSection() {
        UnmapViewOfFile(m_view);
        CloseHandle(m_mapping);
    }
    int status() const { return *m_view; }

private:
    HANDLE m_mapping;
    int* m_view;
};

class VssRequesterRun : public AgentRunTest {
protected:
    void SetUp() override {
        AgentRunTest::SetUp();
        ASSERT_TRUE(m_standIn.loadForAgent());
        m_environment = m_standIn.environment();
        tweaks(kRealRequester);
    }
    void TearDown() override {
        AgentRegistry::deleteLastAliveStamp();
        AgentRunTest::TearDown();
    }

    VssStandIn m_standIn{m_dir.path().string()};
};

TEST_F(VssRequesterRun, BackupSequenceFaultsAndMachineState) {
    Server fast(m_dir, "fast");
    Server slow(m_dir, "slow", {L"--checkpoint-delay-ms", L"1000"});
    const std::vector<std::string> volumes = VssStandIn::machineVolumes();
    ASSERT_EQ(2u, volumes.size()); // C: and Z: in a Wine prefix
    const struct {
        const char* name;
        Args keywords;
        const Server* server;
        std::string config; // the stand-in's
        std::string tweaks;
        bool stamp; // LastAliveStamp present before the run
        int exitCode;
        int status;         // what the section holds at the end
        size_t added;       // volumes added to the first snapshot set
        const char* type;   // as SetBackupState received it
        const char* freeze; // the stand-in's freeze line
        std::vector<std::string> records;
    } rows[] = {
        // clang-format off
        {"default sequence, one writer failed at freeze", {}, &fast,
         "writer=Db Writer|1|0\nwriter=Log Writer|9|0x800423f4\n", "", true, 0, 0, 2, "5", "held",
         {"GetWriterStatusCount returned number of writers: 2", "GetWriterStatus for writer 0:  WriterName: Db Writer",
          "GetWriterStatus for writer 1:  WriterName: Log Writer .  Status: 9 (VSS_WS_FAILED_AT_FREEZE)  "
          "Writer Failure code: 800423f4"}},
        {"volumes by fragment", {L"volumes=000000000043"}, &fast, "", "", true, 0, 0, 1, "5", "held",
         {"AddToSnapshotSet for volume " + volumes[0] + " returned 0", "Skipping SnapShotSet for volume: " + volumes[1]}},
        {"no volume matches", {L"volumes=nomatch"}, &fast, "", "", true, 0, 0, 0, "5", "held",
         {"Skipping SnapShotSet for volume: " + volumes[0], "Skipping SnapShotSet for volume: " + volumes[1]}},
        {"backup type 2, no writers", {L"backupType=2"}, &fast, "writers=none\n", "", true, 0, 0, 2, "2", "held",
         {" vssBackupType=2 ", "GetWriterStatusCount returned number of writers: 0"}},
        // A refused volume is only logged.
        {"one volume refused", {}, &fast, "refuse.volume=000000000043|0x8004230E\n", "", true, 0, 0, 2, "5", "held",
         {"AddToSnapshotSet for volume " + volumes[0] + " returned 8004230e"}},
        {"absent stamp", {}, &fast, "", "", false, 0, 0, 2, "5", "held", {"Error 2 in RegQueryValueEx."}},
        // The checkpoint keeps the writers frozen past the provider's bound.
        {"thaw too late: vetoed", {}, &slow, "thaw.wait.ms=300\n", "", true, 0, kVeto, 2, "5", "thaw_timeout",
         {"waitForAsync failed hr=80042306 ", "assumming timeout occured in VSS provider waiting for thaw",
          "AbortBackup..."}},
        {"freeze never signalled", {}, &fast, "freeze=none\nthaw.wait.ms=5000\n",
         "t_requesterQuiescedEventWaitTimeoutMsec=1000\n", true, -1001, kVeto, 2, "5", "not_frozen",
         {"::WaitForSingleObject(quiescedEvent, 1000) returned WAIT_TIMEOUT"}},
        {"another negative async status", {}, &fast, "async.BackupComplete=status:0x80042302\n", "", true, 0, 1, 2,
         "5", "held", {"pAsync->QueryStatus() retrieved the error code 80042302 (VSS_E_UNEXPECTED) ", "AbortBackup..."}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        m_standIn.configure(row.config);
        m_standIn.clearRecords();
        tweaks(kRealRequester + row.tweaks);
        if (row.stamp)
            ASSERT_TRUE(AgentRegistry::setLastAliveStamp(kStamp));
        else
            ASSERT_TRUE(AgentRegistry::deleteLastAliveStamp());
        size_t before = row.server->requests().size();
        StatusSection section;
        Args arguments = {L"127.0.0.1", row.server->port(), L"0.0.0.0", L"0", L"abc"};
        arguments.insert(arguments.end(), row.keywords.begin(), row.keywords.end());

        ChildResult result = runAgent(arguments);
        EXPECT_EQ(row.exitCode, result.exitCodeSigned()) << result.output;
        EXPECT_EQ(row.status, section.status());
        std::vector<LogRecord> log = currentRun();
        for (const std::string& record : row.records)
            EXPECT_NE(nullptr, findRecord(log, record)) << record;

        if (&row == &rows[0]) {
            EXPECT_EQ(sessionCalls(volumes.size(), 2), m_standIn.calls(1));
            for (const StandInFields& line : m_standIn.session(1))
                if (line.count("call") && line.at("call") == "Wait") {
                    EXPECT_EQ("7000", line.at("ms"));
                }
            expectInOrder(log,
                          {" vssBackupType=5  snapshotVolumesUserVecSize=0 ", "CoInitialize...",
                           "CreateVssBackupComponents...", "InitializeForBackup...", "SetBackupState...",
                           "GatherWriterMetadata...", "waiting async for: 7000 Msec", "StartSnapshotSet...",
                           "getVolumeList...", "Add volumes to the shadow set...", "PrepareForBackup...",
                           "DoSnapshotSet...", "BackupComplete...", "Releasing backup components",
                           // The guards hold exactly around the requester's thread.
                           "Releasing mutex"});
            expectInOrder(log, {"Disabling Windows error recovery...", "Registering RunOnce...",
                                "Saving LastAliveStampCache...", "Data size is 8", "Invoking requester",
                                "Waiting for requester doSnapshot thread to terminate",
                                "Restoring LastAliveStampCache...", "Enabling Windows error recovery...",
                                "Unregistering RunOnce...", "Releasing mutex"});
        }
        // The stand-in's view of the first session: what it was given, and the
        // machine state while the writers were held.
        EXPECT_EQ(row.type, m_standIn.find(1, "call", "SetBackupState")["type"]);
        size_t added = 0;
        for (const StandInFields& line : m_standIn.session(1))
            if (line.count("call") && line.at("call") == "AddToSnapshotSet") {
                ++added;
                EXPECT_EQ("{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}", line.at("provider"));
            }
        EXPECT_EQ(row.added, added);
        StandInFields freeze = m_standIn.find(1, "freeze");
        EXPECT_EQ(row.freeze, freeze["freeze"]);
        StandInFields registry = m_standIn.find(1, "registry");
        EXPECT_EQ(kEnableCommand, registry["runonce"]);
        EXPECT_EQ("(absent)", registry["lastalivestamp"]);
        // A second, complete session follows every first one.
        EXPECT_FALSE(m_standIn.find(2, "call", "BackupComplete").empty());

        // The checkpoint arrived while the stand-in held the writers.
        std::vector<Fields> requests = row.server->requests();
        for (size_t i = before; i < requests.size() && row.exitCode == 0; ++i)
            if (requests[i]["kind"] == "checkpoint") {
                EXPECT_LE(freeze["quiesced_time"], requests[i]["time"]);
                if (freeze["freeze"] == "held") {
                    EXPECT_GE(freeze["thaw_time"], requests[i]["time"]);
                }
            }

        // The machine is as it was: the stamp byte for byte, the policy
        // relaxed once and put back, no RunOnce entry.
        std::vector<unsigned char> stamp;
        unsigned long type = 0;
        EXPECT_EQ(row.stamp, AgentRegistry::lastAliveStamp(stamp, &type));
        if (row.stamp) {
            EXPECT_EQ(kStamp, stamp);
            EXPECT_EQ(3u, type);
        }
        std::string runOnce;
        EXPECT_FALSE(AgentRegistry::runOnceValue(runOnce));
        std::vector<StandInFields> bcdedit = m_standIn.bcdeditCalls();
        ASSERT_EQ(2u, bcdedit.size());
        EXPECT_EQ("/set {current} bootstatuspolicy ignoreallfailures", bcdedit[0]["args"]);
        EXPECT_EQ("/set {default} bootstatuspolicy displayallfailures", bcdedit[1]["args"]);
        rowDone(row.name + std::string(" (held ") + freeze["held_ms"] + " ms)");
    }
}

// Each call of the backup that can fail, failing in the first session only:
// its Error records (and no other of the requester's), whether the backup was
// aborted, and the result the runner reads. The flow goes on either way, so
// the run itself succeeds.
TEST_F(VssRequesterRun, EachFailingStepIsLoggedAbortedAsNeededAndReported) {
    Server server(m_dir, "server");
    const struct {
        const char* fault; // one line of the stand-in's configuration
        std::vector<std::string> errors;
        bool aborts;
        int result;
    } rows[] = {
        // clang-format off
        {"fail.CreateVssBackupComponentsInternal@1=0x80004001",
         {"CreateVssBackupComponents failed with error code 80004001"}, false, int(0x80004001)},
        {"fail.InitializeForBackup@1=0x80042302",
         {"InitializeForBackup failed with error code 80042302 (VSS_E_UNEXPECTED) "}, false, int(0x80042302)},
        {"fail.SetBackupState@1=0x80070057", {"SetBackupState failed with error code 80070057"}, true, int(0x80070057)},
        {"fail.GatherWriterMetadata@1=0x80042301",
         {"GatherWriterMetadata failed with error code 80042301 (VSS_E_BAD_STATE) "}, true, int(0x80042301)},
        {"async.GatherWriterMetadata@1=wait:0x80042302",
         {"pAsync->Wait() failed with error code 80042302 (VSS_E_UNEXPECTED) ", "waitForAsync failed"}, true, 1},
        {"fail.StartSnapshotSet@1=0x80042316",
         {"StartSnapshotSet failed with error code 80042316 (Another shadow copy creation is already in progress. "
          "Please wait a few moments and try again) "}, true, int(0x80042316)},
        {"fail.PrepareForBackup@1=0x80042312",
         {"PrepareForBackup failed with error code 80042312 (VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED) "}, true,
         int(0x80042312)},
        {"async.PrepareForBackup@1=query:0x80004005",
         {"pAsync->QueryStatus() failed with error code 80004005", "waitForAsync failed"}, true, 1},
        {"async.PrepareForBackup@1=status:0x80042315",
         {"pAsync->QueryStatus() retrieved the error code 80042315 (An error occurred while trying to contact VSS "
          "writers. Check for associated errors in the event log) ", "waitForAsync failed"}, true, 1},
        {"fail.GatherWriterStatus#1@1=0x80042301",
         {"GatherWriterStatus failed with error code 80042301 (VSS_E_BAD_STATE) ", "gatherWriterStatus failed"},
         true, 1},
        {"fail.DoSnapshotSet@1=0x80042306",
         {"DoSnapshotSet failed with error code 80042306 (VSS_E_PROVIDER_VETO) "}, true, int(0x80042306)},
        {"async.DoSnapshotSet@1=status:0x8004230F",
         {"pAsync->QueryStatus() retrieved the error code 8004230f (VSS_E_UNEXPECTED_PROVIDER_ERROR) ",
          "waitForAsync failed hr=0 "}, true, 1},
        {"async.DoSnapshotSet@1=wait:0x80042302",
         {"pAsync->Wait() failed with error code 80042302 (VSS_E_UNEXPECTED) ", "waitForAsync failed hr=80042302 "},
         true, int(0x80042302)},
        {"async.GatherWriterStatus#2@1=wait:0x80004005",
         {"pAsync->Wait() failed with error code 80004005", "waitForAsync failed ", "gatherWriterStatus failed"},
         true, 1},
        {"fail.BackupComplete@1=0x80042301",
         {"BackupComplete failed with error code 80042301 (VSS_E_BAD_STATE) "}, true, int(0x80042301)},
        {"async.BackupComplete@1=wait:0x80004005",
         {"pAsync->Wait() failed with error code 80004005", "waitForAsync failed"}, true, 1},
        {"fail.FreeWriterStatus#3@1=0x80004005",
         {"FreeWriterStatus failed with error code 80004005", "gatherWriterStatus failed"}, true, 1},
        // Any success status ends an operation well, not only "finished".
        {"async.DoSnapshotSet@1=status:0x0004230B", {}, false, 0},
        // clang-format on
    };
    ASSERT_TRUE(AgentRegistry::setLastAliveStamp(kStamp));
    // The flow's own records of a failed DoSnapshot.
    const char* flowRecords[] = {"launchVssRequesterDoSnapshot failed with error : ", "SnapshotFlow failed"};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        m_standIn.configure(std::string(row.fault) + "\n");
        m_standIn.clearRecords();
        StatusSection section;
        ChildResult result = runAgent({L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"});
        EXPECT_EQ(0, result.exitCodeSigned());
        EXPECT_EQ(row.result, section.status());
        std::vector<std::string> errors;
        size_t aborts = 0;
        for (const LogRecord& record : currentRun()) {
            aborts += record.message == "AbortBackup...";
            bool flow = false;
            for (const char* start : flowRecords)
                flow = flow || record.message.compare(0, strlen(start), start) == 0;
            if (record.level == "Error" && !flow)
                errors.push_back(record.message);
        }
        EXPECT_EQ(row.errors, errors);
        EXPECT_EQ(row.aborts ? 1u : 0u, aborts);
        // The service object is released on every path, the aborted ones too.
        std::vector<std::string> calls = m_standIn.calls(1);
        if (!calls.empty() && row.result != int(0x80004001)) {
            EXPECT_EQ("Release", calls.back());
        }
    }
}

// What an operator finds after the agent died while the writers were held:
// the RunOnce entry that restores the boot policy at the next logon, and no
// LastAliveStamp (its saved bytes died with the agent).
TEST_F(VssRequesterRun, KilledWhileFrozenLeavesTheRunOnceEntry) {
    Server silent(m_dir, "silent", {L"--silent-on", L"checkpoint", L"--lifetime-ms", L"20000"});
    ASSERT_TRUE(AgentRegistry::setLastAliveStamp(kStamp));
    BackgroundChild agent(program(L"OrvelVssAgent.exe"),
                          {L"127.0.0.1", silent.port(), L"0.0.0.0", L"0", L"abc"}, agentOptions());
    for (int i = 0; i < 1000 && m_standIn.find(1, "registry").empty(); ++i)
        Sleep(10);
    ASSERT_FALSE(m_standIn.find(1, "registry").empty()) << "the writers were never frozen";
    agent.finish(1);

    std::string runOnce;
    EXPECT_TRUE(AgentRegistry::runOnceValue(runOnce));
    EXPECT_EQ(kEnableCommand, runOnce);
    std::vector<unsigned char> stamp;
    EXPECT_FALSE(AgentRegistry::lastAliveStamp(stamp));
    EXPECT_EQ(1u, m_standIn.bcdeditCalls().size());
    AgentRegistry::deleteRunOnceValue();
}
} // namespace
#endif
