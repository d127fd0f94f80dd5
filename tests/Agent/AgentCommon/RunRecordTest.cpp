// The run record's JSON line and its in-progress marker: what a log shipper
// and the next run read back, so every byte counts.
#include "AgentCommon/RunRecord.h"
#include "AgentCommon/JsonLine.h"
#include "AgentCommon/RunRecordMarker.h"
#include "GoodRun.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

TEST(JsonLine, TextsAreQuotedAsValidUtf8Json) {
    const std::pair<std::string, std::string> rows[] = {
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line\nnext\r\ttab", "\"line\\nnext\\r\\ttab\""},
        {std::string("nul\0bel\x07", 8), "\"nul\\u0000bel\\u0007\""},
        {"\x7f", "\"\\u007f\""},
        // Well-formed multi-byte sequences stay as they are.
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
        // Each byte that is no part of well-formed UTF-8 becomes U+FFFD:
        // a stray continuation, a lead cut short, an overlong '/', a
        // surrogate, a code point beyond U+10FFFF.
        {"a\x80z", "\"a\xEF\xBF\xBDz\""},
        {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        // A lead followed by an ASCII byte keeps the ASCII byte.
        {"\xC3\"", "\"\xEF\xBF\xBD\\\"\""},
    };
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(expected, JsonLine::quoted(text)) << expected;
}

// Every open level is closed at the end, and a surplus end never closes the
// line's own object early.
TEST(JsonLine, NestsLevelsAndClosesWhatIsOpen) {
    JsonLine line;
    line.member("n", static_cast<i64>(-2147212538)).memberFixed("nan", std::nan(""));
    line.member("absent", std::optional<i64>()).member("nullText", static_cast<const char*>(nullptr));
    line.beginArray("list").beginObject().memberFixed("ms", 1.23456).end().element("s").end().end().end();
    line.beginObject("open").beginArray("none");
    EXPECT_EQ(R"({"n":-2147212538,"nan":null,"absent":null,"nullText":null,"list":[{"ms":1.235},"s"],)"
              R"("open":{"none":[]}})"
              "\n",
              line.line());
}

TEST(RunRecord, LineOfARunThatWentWell) {
    EXPECT_EQ(
        R"({"schema":3,"run":"r1","agent":"1.2.3.0","start":"2026-12-07T00:05:09.007Z",)"
        R"("end":"2026-12-07T00:05:09.900Z","host":"h1","pid":77,"osBuild":"10.0.20348",)"
        R"("mode":"internal","gui":false,"args":{"local":"127.0.0.1","localPort":"8080",)"
        R"("peer":"0.0.0.0","peerPort":"0","tag":"t\"ag","volumes":["C:\\"],"backupType":-1},)"
        R"("settings":{"quiescedWaitMs":72000,"thawStartWaitMs":null,"waitAsyncMs":62000,)"
        R"("readWaitMs":80000,"backupType":5,"tweakFiles":["base.cfg","local.cfg"]},)"
        R"("requester":"vss","exit":0,"outcome":"ok",)"
        R"("reason":"snapshot taken; every checkpoint request was answered","status":0,)"
        R"("statusName":"success","frozenMs":12.345,"statusWriteMs":0.400,"snapshotMs":1500.000,)"
        R"("servers":[{"role":"local","host":"127.0.0.1","port":8080,)"
        R"("ping":{"ok":true,"error":null,"ms":2.000},"checkpoint":{"ok":true,"error":null,"ms":11.000}}],)"
        R"("runner":{"thawStart":null,"readNotification":"timedOut"},)"
        R"("writers":[{"name":"System Writer","id":"{W1}","instanceId":"{I1}","phase":"BackupComplete",)"
        R"("state":1,"stateName":"VSS_WS_STABLE","failure":0,"failureName":null,"failed":false}],)"
        R"("volumesAdded":[{"path":"\\\\?\\Volume{1}\\","result":0,"resultName":"success"}],)"
        R"("snapshotSetId":"{S}","requesterResult":0,"requesterResultName":"success","failedStep":null,)"
        R"("failedCode":null,"failedCodeName":null,"secondSnapshot":0,"consistent":true,)"
        R"("guards":{"runOnce":{"registered":true,"removed":true},"bcdedit":{"disable":0,"enable":0},)"
        R"("lastAliveStamp":{"save":"absent","error":2,"restored":null}},)"
        R"("previousRunUnfinished":[{"run":"r0","pid":4242,"start":"2026-12-07T00:01:00.000Z",)"
        R"("runOncePresent":true,"lastAliveStampPresent":false}],)"
        R"("markerScan":{"unfinishedNotListed":3,"dropped":2,"cut":false},)"
        R"("recordNotes":["finish failed: x"]})"
        "\n",
        goodRun().jsonLine());
}

// Which verdict wins, what failed, and how the reason ends: whether waiting
// helps.
TEST(RunRecord, VerdictNamesWhatFailedAndWhetherWaitingHelps) {
    const std::tuple<void (*)(RunRecord&), const char*, std::optional<bool>, std::string> rows[] = {
        {[](RunRecord& r) {
             r = RunRecord();
             r.exitCode = 1;
         },
         "usage", false,
         "exit 1: the command line was refused (see the usage line); waiting alone does not fix it"},
        {[](RunRecord& r) { r.tweakFailure = "tweak \"x\" is -1"; }, "failed", true,
         "exit 3: tweak \"x\" is -1; waiting alone does not fix it"},
        {[](RunRecord& r) { r.exitCode = -1006; }, "failed", true,
         "exit -1006 (providerServiceMissing): the provider service OrvelVssProvider is not installed; "
         "waiting alone does not fix it"},
        {[](RunRecord& r) { r.exitCode = -1001; }, "failed", true,
         "exit -1001 (quiescedWaitTimedOut): the provider did not report the writers frozen in time; a later "
         "run may pass"},
        {[](RunRecord& r) {
             r.exitCode = -1002;
             r.servers[0].ping = {true, false, 12029, 200, 100};
         },
         "failed", true, "the freeze failed; ping of local 127.0.0.1:8080 failed with error 12029"},
        {[](RunRecord& r) {
             r.requesterResult = 1; // the session's failure outranks a writer's
             r.failedStep = "PrepareForBackup wait";
             r.failedCode = static_cast<i32>(0x80042316);
             r.writers[0].state = 9;
         },
         "failed", false,
         "exit 0, but the first shadow-copy session failed at PrepareForBackup wait with 0x80042316 "
         "(VSS_E_SNAPSHOT_SET_IN_PROGRESS); a later run may pass"},
        {[](RunRecord& r) { r.requesterResult = static_cast<i32>(0x80042301); }, "failed", false,
         "exit 0, but the first shadow-copy session failed with 0x80042301 (VSS_E_BAD_STATE)"},
        {[](RunRecord& r) { r.requesterResult.reset(); }, "failed", false, "session reported no result"},
        {[](RunRecord& r) { r.volumesAdded.clear(); }, "failed", true,
         "exit 0, but no volume was added: no volumes= entry occurs in a volume GUID path; waiting alone "
         "does not fix it"},
        {[](RunRecord& r) {
             r.servers[0].checkpoint = {true, false, 12152, 0, 0};
         },
         "checkpointNotDelivered", true,
         "exit 0, but the checkpoint request to the local server 127.0.0.1:8080 got no answer (error 12152); "
         "a later run may pass"},
        {[](RunRecord& r) { r.servers[0].checkpoint = {}; }, "checkpointNotDelivered", true,
         "127.0.0.1:8080 was not sent (its ping failed); a later run may pass"},
        {[](RunRecord& r) { r.externallyInitiated = true; }, "checkpointNotDelivered", true,
         "exit 0, but the runner did not signal thaw-start in time; a later run may pass"},
        {[](RunRecord& r) {
             r.externallyInitiated = true;
             r.thawStartWait = 0;
         },
         "ok", true, "snapshot taken; the runner signalled thaw-start"},
        {[](RunRecord& r) { r.writers[0] = {"Log Writer", 9, 0x800423F4, "{W}", "{I}", "DoSnapshotSet"}; },
         "inconsistent", false,
         "exit 0, but writer \"Log Writer\" is VSS_WS_FAILED_AT_FREEZE with 0x800423F4 "
         "(VSS_E_WRITERERROR_NONRETRYABLE) after DoSnapshotSet"},
        {[](RunRecord& r) { r.writers[0] = {"W", 6, 0x800423F2, "{W}", "{I}", ""}; }, "inconsistent", false,
         "is VSS_WS_FAILED_AT_IDENTIFY with 0x800423F2 (VSS_E_WRITERERROR_TIMEOUT); a later run may pass"},
        {[](RunRecord& r) { r.writers[0].state = 16; }, "ok", true, "every checkpoint request was answered"},
        {[](RunRecord& r) { r.simulator = true; }, "ok", std::nullopt,
         "simulated requester (test switch, never in production): nothing was snapshotted; snapshot taken; "
         "every checkpoint request was answered"},
    };
    for (const auto& [change, outcome, consistent, reasonEnd] : rows) {
        RunRecord record = goodRun();
        change(record);
        const std::string reason = record.reason();
        SCOPED_TRACE(reason);
        EXPECT_EQ(outcome, record.outcome());
        EXPECT_EQ(consistent, record.consistent());
        ASSERT_GE(reason.size(), reasonEnd.size());
        EXPECT_EQ(reasonEnd, reason.substr(reason.size() - reasonEnd.size()));
    }
}

// One change to the run that went well, and the members that show it: times
// only for what happened, signed codes with their names, guards as they went.
TEST(RunRecord, MembersFollowWhatTheRunKnows) {
    const std::pair<void (*)(RunRecord&), const char*> rows[] = {
        {[](RunRecord& r) { r.simulator.reset(); }, R"("backupType":null,"tweakFiles")"},
        {[](RunRecord& r) { r.snapshotSetStarted = false; }, R"("frozenMs":null,"statusWriteMs":null,"snap)"},
        {[](RunRecord& r) { r.statusWrittenTicks = 5012346; }, R"("frozenMs":12.345,"statusWriteMs":null,)"},
        {[](RunRecord& r) { r.flowEndTicks = 3999999; }, R"("snapshotMs":null,)"},
        {[](RunRecord& r) {
             r.servers[0].ping = {true, false, 12029, 200, 100};
         },
         R"("ping":{"ok":false,"error":12029,"ms":null})"},
        {[](RunRecord& r) { r.thawStartWait = 258; }, R"("thawStart":"timedOut")"},
        {[](RunRecord& r) { r.thawStartWait = 0xFFFFFFFF; }, R"("thawStart":"failed")"},
        {[](RunRecord& r) { r.writers[0] = {"W", 9, 0x800423F4, "{W}", "{I}", "DoSnapshotSet"}; },
         R"("stateName":"VSS_WS_FAILED_AT_FREEZE","failure":-2147212300,)"
         R"("failureName":"VSS_E_WRITERERROR_NONRETRYABLE","failed":true})"},
        {[](RunRecord& r) { r.writers[0].state = 17; }, R"("stateName":null,)"},
        // The agent's own codes and the platform's are named from one table,
        // the shadow-copy codes from another (its last entry here); none for
        // the gaps or a shadow-copy number of another facility.
        {[](RunRecord& r) { r.volumesAdded[0].result = 0x80042409; },
         R"("result":-2147212279,"resultName":"VSS_E_WRITER_STATUS_NOT_AVAILABLE")"},
        {[](RunRecord& r) { r.volumesAdded[0].result = 0x8000FFFF; }, R"("resultName":"E_UNEXPECTED")"},
        {[](RunRecord& r) { r.volumesAdded[0].result = 0x80042305; }, R"("resultName":null)"},
        {[](RunRecord& r) { r.volumesAdded[0].result = 0x80052306; }, R"("resultName":null)"},
        {[](RunRecord& r) { r.volumesAdded[0].result = static_cast<u32>(-1003); }, R"("resultName":null)"},
        {[](RunRecord& r) { r.stampSaveError = 5; }, R"("save":"error","error":5,)"},
    };
    const std::string golden = goodRun().jsonLine();
    for (const auto& [change, piece] : rows) {
        RunRecord record = goodRun();
        change(record);
        EXPECT_NE(std::string::npos, record.jsonLine().find(piece)) << piece << "\n" << record.jsonLine();
        EXPECT_EQ(std::string::npos, golden.find(piece)) << piece;
    }
}

TEST(RunRecordMarker, ReadsBackWhatItWroteAndNothingElse) {
    const RunRecordMarker written{"8f8dab76-a01d-4cb1-9983-fd4263c08fd2", 4242, 133467123456789012ull,
                                  "2026-12-07T00:05:09.007Z"};
    // The largest numbers each field can hold.
    const RunRecordMarker largest{"a", 4294967295, 18446744073709551615ull, "2026-12-07T00:05:09.007Z"};
    for (const RunRecordMarker& marker : {written, largest}) {
        RunRecordMarker read;
        ASSERT_TRUE(RunRecordMarker::parse(marker.text(), read));
        EXPECT_EQ(marker.text(), read.text());
    }

    // Whatever else lies under a marker's name is refused, never thrown on.
    const std::string text = written.text();
    auto with = [](const std::string& run, const std::string& pid, const std::string& created = "1",
                   const std::string& start = "2026-12-07T00:05:09.007Z") {
        return "run=" + run + "\npid=" + pid + "\ncreated=" + created + "\nstart=" + start + "\n";
    };
    RunRecordMarker read;
    ASSERT_TRUE(RunRecordMarker::parse(with("a", "1"), read)); // each case below breaks one thing
    std::vector<std::string> bad = {text.substr(0, text.find("start=")), text + "extra=1\n", text + "\n",
                                    "\n" + text};
    bad.insert(bad.end(), {std::string(), std::string("run=a\0\npid=1", 12), std::string(5000, 'r'),
                           with("a b", "1"), with(std::string(65, 'a'), "1"), with("a", "1", "1", "\"x\"")});
    for (const char* pid : {"12x", "", "9999999999999999999", "4294967296", "-1", "+1", " 1", "01"})
        bad.push_back(with("a", pid));
    for (const char* created : {"18446744073709551616", "99999999999999999999999"})
        bad.push_back(with("a", "1", created));
    for (const std::string& input : bad) {
        RunRecordMarker untouched{"kept", 1, 2, "s"};
        EXPECT_FALSE(RunRecordMarker::parse(input, untouched)) << input;
        EXPECT_EQ("kept", untouched.run);
    }
}
