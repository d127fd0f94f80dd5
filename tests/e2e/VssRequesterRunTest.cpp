// Whole runs with the real requester against the stand-in of the shadow-copy
// service, which plays the provider's freeze, looks at the machine state while
// the writers are held, and injects faults; the guards' registry values and
// bcdedit calls are checked around each run.
#ifdef _WIN32
#include "support/StandInRunTest.h"

#include <windows.h>

#include <ostream>
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

const char kStampKept[] = R"({"guards":{"lastAliveStamp":{"error":null,"restored":true,"save":"saved"}}})";

struct RequesterRow {
    const char* name;
    Args keywords = {};
    std::string standIn = ""; // its rules
    bool stamp = true;        // LastAliveStamp present before the run
    // What the stand-in saw of the first session: every call in order (when
    // given), the volumes added to the snapshot set, the backup type.
    std::vector<std::string> calls = {};
    size_t added = 2;
    const char* type = "5";
    std::vector<std::string> records = {}; // in order
    std::vector<std::string> record = {};  // members of the run record
};

void PrintTo(const RequesterRow& row, std::ostream* out) {
    *out << row.name;
}

class VssRequesterRun : public StandInRunTest, public ::testing::WithParamInterface<RequesterRow> {};

TEST_P(VssRequesterRun, BackupSequenceAndMachineState) {
    const RequesterRow& row = GetParam();
    Server server(m_dir, "server");
    m_standIn.configure(row.standIn);
    m_standIn.clearRecords();
    ASSERT_TRUE(row.stamp ? AgentRegistry::setLastAliveStamp(kStamp) : AgentRegistry::deleteLastAliveStamp());
    StatusSection section;
    Args arguments = {L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"};
    arguments.insert(arguments.end(), row.keywords.begin(), row.keywords.end());

    ChildResult result = runAgent(arguments);
    EXPECT_EQ(0, result.exitCodeSigned()) << result.output;
    EXPECT_EQ(0, section.status());
    expectInOrder(currentRun(), row.records);
    if (!row.calls.empty()) {
        EXPECT_EQ(row.calls, m_standIn.calls(1));
    }
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
    // The machine state while the writers were held.
    StandInFields freeze = m_standIn.find(1, "freeze");
    EXPECT_EQ("held", freeze["freeze"]);
    StandInFields registry = m_standIn.find(1, "registry");
    EXPECT_EQ(kEnableCommand, registry["runonce"]);
    EXPECT_EQ("(absent)", registry["lastalivestamp"]);
    // A second, complete session follows every first one.
    EXPECT_FALSE(m_standIn.find(2, "call", "BackupComplete").empty());
    EXPECT_TRUE(machineAsBefore(true, row.stamp));

    const Json record = lastRunRecord();
    expectRecordHolds(record, R"({"requesterResult":0,"secondSnapshot":0})");
    for (const std::string& members : row.record)
        expectRecordHolds(record, members);
    expectWindowWithinProviders(record, freeze["held_us"]);
    rowDone(row.name + std::string(" (held ") + freeze["held_ms"] + " ms)");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(, VssRequesterRun, ::testing::Values(
    RequesterRow{.name = "DefaultSequenceOneWriterFailedAtFreeze",
        .standIn = "writer=Db Writer|1|0\nwriter=Log Writer|9|0x800423f4\n", .calls = sessionCalls(2, 2),
        .records = {"GetWriterStatusCount returned number of writers: 2",
            "GetWriterStatus for writer 0:  WriterName: Db Writer",
            "GetWriterStatus for writer 1:  WriterName: Log Writer .  Status: 9 (VSS_WS_FAILED_AT_FREEZE)  "
            "Writer Failure code: 800423f4"},
        .record = {kStampKept, R"({"args":{"volumes":[],"backupType":-1},"consistent":false,
            "outcome":"inconsistent","writers":[
            {"failed":false,"failure":0,"failureName":null,"name":"Db Writer","state":1,"stateName":"VSS_WS_STABLE"},
            {"failed":true,"failure":-2147212300,"failureName":"VSS_E_WRITERERROR_NONRETRYABLE","name":"Log Writer",
             "phase":"BackupComplete","state":9,"stateName":"VSS_WS_FAILED_AT_FREEZE"}]})"}},
    RequesterRow{.name = "VolumesByFragment", .keywords = {L"volumes=000000000043"}, .added = 1,
        .records = {"AddToSnapshotSet for volume " + kVolumeC + " returned 0",
            "Skipping SnapShotSet for volume: " + kVolumeZ},
        .record = {R"({"args":{"volumes":["000000000043"]},"consistent":true,"outcome":"ok",
            "volumesAdded":[{"result":0}]})"}},
    RequesterRow{.name = "NoVolumeMatches", .keywords = {L"volumes=nomatch"}, .added = 0,
        .records = {"Skipping SnapShotSet for volume: " + kVolumeC, "Skipping SnapShotSet for volume: " + kVolumeZ},
        .record = {R"({"args":{"volumes":["nomatch"]},"outcome":"failed","volumesAdded":[]})"}},
    RequesterRow{.name = "BackupType2NoWriters", .keywords = {L"backupType=2"}, .standIn = "writers=none\n",
        .type = "2", .records = {" vssBackupType=2 ", "GetWriterStatusCount returned number of writers: 0"},
        .record = {R"({"args":{"backupType":2},"writers":[],"consistent":true,"outcome":"ok"})"}},
    // A refused volume is only logged.
    RequesterRow{.name = "OneVolumeRefused", .standIn = "refuse.volume=000000000043|0x8004230E\n",
        .records = {"AddToSnapshotSet for volume " + kVolumeC + " returned 8004230e"}},
    RequesterRow{.name = "AbsentStamp", .stamp = false, .records = {"Error 2 in RegQueryValueEx."},
        .record = {R"({"guards":{"lastAliveStamp":{"error":2,"restored":null,"save":"absent"}}})"}}),
    [](const ::testing::TestParamInfo<RequesterRow>& info) { return std::string(info.param.name); });
// clang-format on
} // namespace
#endif
