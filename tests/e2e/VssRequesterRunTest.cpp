// Whole runs with the real requester against the stand-in of the shadow-copy
// service, which plays the provider's freeze, looks at the machine state while
// the writers are held, and injects faults; the guards' registry values and
// bcdedit calls are checked around each run.
#ifdef _WIN32
#include "support/StandInRunTest.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {
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

// The volumes of a Wine prefix, as FindFirstVolumeW lists them: C: and Z:.
const std::string kVolumeC = "\\\\?\\Volume{00000000-0000-0000-0000-000000000043}\\";
const std::string kVolumeZ = "\\\\?\\Volume{00000000-0000-0000-0000-00000000005a}\\";

typedef StandInRunTest VssRequesterRun;

TEST_F(VssRequesterRun, BackupSequenceAndMachineState) {
    Server server(m_dir, "server");
    const struct {
        const char* name;
        Args keywords;
        std::string config; // the stand-in's
        bool stamp;         // LastAliveStamp present before the run
        size_t added;       // volumes added to the first snapshot set
        const char* type;   // as SetBackupState received it
        std::vector<std::string> records;
    } rows[] = {
        // clang-format off
        {"default sequence, one writer failed at freeze", {}, "writer=Db Writer|1|0\nwriter=Log Writer|9|0x800423f4\n",
         true, 2, "5", {"GetWriterStatusCount returned number of writers: 2",
         "GetWriterStatus for writer 0:  WriterName: Db Writer",
         "GetWriterStatus for writer 1:  WriterName: Log Writer .  Status: 9 (VSS_WS_FAILED_AT_FREEZE)  "
         "Writer Failure code: 800423f4"}},
        {"volumes by fragment", {L"volumes=000000000043"}, "", true, 1, "5",
         {"AddToSnapshotSet for volume " + kVolumeC + " returned 0", "Skipping SnapShotSet for volume: " + kVolumeZ}},
        {"no volume matches", {L"volumes=nomatch"}, "", true, 0, "5",
         {"Skipping SnapShotSet for volume: " + kVolumeC, "Skipping SnapShotSet for volume: " + kVolumeZ}},
        {"backup type 2, no writers", {L"backupType=2"}, "writers=none\n", true, 2, "2",
         {" vssBackupType=2 ", "GetWriterStatusCount returned number of writers: 0"}},
        // A refused volume is only logged.
        {"one volume refused", {}, "refuse.volume=000000000043|0x8004230E\n", true, 2, "5",
         {"AddToSnapshotSet for volume " + kVolumeC + " returned 8004230e"}},
        {"absent stamp", {}, "", false, 2, "5", {"Error 2 in RegQueryValueEx."}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        m_standIn.configure(row.config);
        m_standIn.clearRecords();
        ASSERT_TRUE(row.stamp ? AgentRegistry::setLastAliveStamp(kStamp)
                              : AgentRegistry::deleteLastAliveStamp());
        StatusSection section;
        Args arguments = {L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"};
        arguments.insert(arguments.end(), row.keywords.begin(), row.keywords.end());

        ChildResult result = runAgent(arguments);
        EXPECT_EQ(0, result.exitCodeSigned()) << result.output;
        EXPECT_EQ(0, section.status());
        std::vector<LogRecord> log = currentRun();
        expectInOrder(log, row.records);
        if (&row == &rows[0]) {
            EXPECT_EQ(sessionCalls(2, 2), m_standIn.calls(1));
            expectInOrder(log, {" vssBackupType=5  snapshotVolumesUserVecSize=0 ", "CoInitialize...",
                                "CreateVssBackupComponents...", "InitializeForBackup...", "SetBackupState...",
                                "GatherWriterMetadata...", "waiting async for: 7000 Msec",
                                "StartSnapshotSet...", "getVolumeList...", "Add volumes to the shadow set...",
                                "PrepareForBackup...", "DoSnapshotSet...", "BackupComplete...",
                                "Releasing backup components", "Releasing mutex"});
        }
        // The stand-in's view of the first session: what it was given, and the
        // machine state while the writers were held.
        EXPECT_EQ(row.type, m_standIn.find(1, "call", "SetBackupState")["type"]);
        size_t added = 0;
        for (StandInFields line : m_standIn.session(1)) {
            if (line["call"] == "AddToSnapshotSet") {
                ++added;
                EXPECT_EQ("{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}", line["provider"]);
            }
            if (line["call"] == "Wait") {
                EXPECT_EQ("7000", line["ms"]);
            }
        }
        EXPECT_EQ(row.added, added);
        StandInFields freeze = m_standIn.find(1, "freeze");
        EXPECT_EQ("held", freeze["freeze"]);
        StandInFields registry = m_standIn.find(1, "registry");
        EXPECT_EQ(kEnableCommand, registry["runonce"]);
        EXPECT_EQ("(absent)", registry["lastalivestamp"]);
        // A second, complete session follows every first one.
        EXPECT_FALSE(m_standIn.find(2, "call", "BackupComplete").empty());
        EXPECT_TRUE(machineAsBefore(true, row.stamp));

        // The record: the keywords as parsed, the writers of the last report,
        // consistent unless one failed, the stamp's fate, and the window as
        // the provider lived it.
        const JsonValue record = lastRunRecord();
        SCOPED_TRACE(record.str());
        std::string volumes = "[";
        for (const std::wstring& keyword : row.keywords)
            if (keyword.compare(0, 8, L"volumes=") == 0)
                volumes += "\"" + std::string(keyword.begin() + 8, keyword.end()) + "\"";
        EXPECT_EQ(volumes + "]", record["args"]["volumes"].str());
        EXPECT_EQ(row.type == std::string("5") ? -1 : std::stoi(row.type),
                  record["args"]["backupType"].integer());
        EXPECT_EQ("0", record["requesterResult"].str());
        EXPECT_EQ("0", record["secondSnapshot"].str());
        const bool writerFailed = &row == &rows[0];
        EXPECT_EQ(writerFailed ? "false" : "true", record["consistent"].str());
        // Nothing added is no snapshot, whatever the exit code says.
        EXPECT_EQ(writerFailed ? "inconsistent" : row.added == 0 ? "failed" : "ok", record["outcome"].text());
        EXPECT_EQ(row.added, record["volumesAdded"].elements().size());
        const size_t writers = row.config == "writers=none\n" ? 0 : writerFailed ? 2 : 1;
        ASSERT_EQ(writers, record["writers"].elements().size());
        if (writerFailed) {
            EXPECT_EQ("Log Writer", record["writers"][1]["name"].text());
            EXPECT_EQ("VSS_WS_FAILED_AT_FREEZE", record["writers"][1]["stateName"].text());
            EXPECT_EQ("VSS_E_WRITERERROR_NONRETRYABLE", record["writers"][1]["failureName"].text());
            EXPECT_EQ("BackupComplete", record["writers"][1]["phase"].text());
            EXPECT_TRUE(record["writers"][1]["failed"].boolean());
            EXPECT_FALSE(record["writers"][0]["failed"].boolean());
        }
        EXPECT_EQ(row.stamp ? "{\"error\":null,\"restored\":true,\"save\":\"saved\"}"
                            : "{\"error\":2,\"restored\":null,\"save\":\"absent\"}",
                  record["guards"]["lastAliveStamp"].str());
        expectWindowWithinProviders(record, freeze["held_us"]);
        rowDone(row.name + std::string(" (held ") + freeze["held_ms"] + " ms)");
    }
}
} // namespace
#endif
