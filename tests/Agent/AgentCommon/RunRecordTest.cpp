// The run record's JSON line and its in-progress marker: what a log shipper
// and the next run read back, so every byte counts.
#include "AgentCommon/RunRecord.h"
#include "AgentCommon/JsonLine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace {
TEST(JsonLine, TextsAreQuotedAsValidUtf8Json) {
    const struct {
        std::string text;
        std::string expected;
    } rows[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"C:\\,D:\\", "\"C:\\\\,D:\\\\\""},
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
    for (const auto& row : rows)
        EXPECT_EQ(row.expected, JsonLine::quoted(row.text)) << row.expected;
}

TEST(JsonLine, NestsObjectsAndArraysWithNullsAndClosesWhatIsOpen) {
    JsonLine line;
    line.member("n", static_cast<i64>(-2147212538)).member("t", true).memberNull("z");
    line.member("absent", std::optional<i64>()).member("some", std::optional<std::string>("x"));
    line.beginObject("empty").end().beginArray("none").end();
    line.beginArray("list").beginObject().member("a", static_cast<i64>(1)).end();
    line.beginObject().beginObject("in").memberFixed("ms", 1.23456).end().end();
    line.element("s").end();
    line.memberFixed("nan", std::nan("")).member("nullText", static_cast<const char*>(nullptr));
    line.beginObject("open").member("k", "v");
    EXPECT_EQ(
        "{\"n\":-2147212538,\"t\":true,\"z\":null,\"absent\":null,\"some\":\"x\",\"empty\":{},\"none\":[],"
        "\"list\":[{\"a\":1},{\"in\":{\"ms\":1.235}},\"s\"],\"nan\":null,\"nullText\":null,"
        "\"open\":{\"k\":\"v\"}}\n",
        line.line());
    // A surplus end never closes the line's own object.
    EXPECT_EQ("{}\n", JsonLine().end().end().line());
}

RunRecord vssRun() {
    RunRecord record;
    record.run = "r1";
    record.simulator = false;
    record.requesterResult = 0;
    record.writers = {{"System Writer", 1, 0, "{W1}", "{I1}", "BackupComplete"},
                      {"SqlServerWriter", 5, 0, "{W2}", "{I2}", "BackupComplete"}};
    RunRecordServer local;
    local.role = "local";
    local.host = "127.0.0.1";
    local.port = 8080;
    local.ping = {true, true, 0, 0, 0};
    local.checkpoint = {true, true, 0, 0, 0};
    record.servers = {local};
    record.snapshotSetId = "{S}";
    record.volumesAdded = {{"\\\\?\\Volume{1}\\", 0}};
    return record;
}

TEST(RunRecord, ConsistentOnlyWhenTheRequesterSucceededAndNoWriterFailed) {
    EXPECT_EQ(std::optional<bool>(true), vssRun().consistent());

    RunRecord failedWriter = vssRun();
    failedWriter.writers[1] = {"SqlServerWriter", 9, 0x800423F4, "{W2}", "{I2}", "DoSnapshotSet"};
    EXPECT_EQ(std::optional<bool>(false), failedWriter.consistent());
    // The last failed state counts; the writer count past it does not.
    failedWriter.writers[1].state = 15;
    EXPECT_EQ(std::optional<bool>(false), failedWriter.consistent());
    failedWriter.writers[1].state = 16;
    EXPECT_EQ(std::optional<bool>(true), failedWriter.consistent());

    RunRecord vetoed = vssRun();
    vetoed.requesterResult = static_cast<i32>(0x80042306);
    EXPECT_EQ(std::optional<bool>(false), vetoed.consistent());
    RunRecord neverRan = vssRun();
    neverRan.requesterResult.reset();
    EXPECT_EQ(std::optional<bool>(false), neverRan.consistent());
    RunRecord simulated = vssRun();
    simulated.simulator = true;
    EXPECT_EQ(std::nullopt, simulated.consistent());
}

// Every verdict, the order among them, and the line that says why.
TEST(RunRecord, OutcomeAndReasonNameWhatFailedAndWhetherWaitingHelps) {
    const struct {
        const char* what;
        void (*change)(RunRecord&);
        const char* outcome;
        const char* reason; // a part of it
    } rows[] = {
        {"all went well", [](RunRecord&) {}, "ok", "snapshot taken; every checkpoint request was answered"},
        {"command line refused",
         [](RunRecord& r) {
             r = RunRecord();
             r.exitCode = 1;
         },
         "usage", "exit 1: the command line was refused (see the usage line); waiting alone"},
        {"bad tweak, before anything else",
         [](RunRecord& r) {
             r = RunRecord();
             r.exitCode = 3;
             r.tweakFailure = "tweak \"t_WaitAsyncTimeoutMsec\" is -1";
         },
         "failed", "exit 3: tweak \"t_WaitAsyncTimeoutMsec\" is -1; waiting alone does not fix it"},
        {"provider missing",
         [](RunRecord& r) {
             r.exitCode = -1006;
             r.requesterResult.reset();
         },
         "failed",
         "exit -1006 (providerServiceMissing): the provider service OrvelVssProvider is not installed; "
         "waiting alone"},
        {"no server answered the ping",
         [](RunRecord& r) {
             r.exitCode = -1002;
             r.servers[0].ping = {true, false, 12029, 0, 0};
             r.servers[0].checkpoint = {};
         },
         "failed", "ping of local 127.0.0.1:8080 failed with error 12029"},
        {"freeze never reported",
         [](RunRecord& r) {
             r.exitCode = -1001;
             r.requesterResult = static_cast<i32>(0x80042306);
         },
         "failed",
         "exit -1001 (quiescedWaitTimedOut): the provider did not report the writers frozen in time; a "
         "later run may pass"},
        {"exit 0, the session failed in a wait: the logged code, not its 1",
         [](RunRecord& r) {
             r.requesterResult = 1;
             r.failedStep = "PrepareForBackup wait";
             r.failedCode = static_cast<i32>(0x80042316);
             r.writers[1].state = 9; // the session outranks a writer
         },
         "failed",
         "failed at PrepareForBackup wait with 0x80042316 (VSS_E_SNAPSHOT_SET_IN_PROGRESS); a later run "
         "may pass"},
        {"exit 0, the session failed with no step",
         [](RunRecord& r) { r.requesterResult = static_cast<i32>(0x80042301); }, "failed",
         "first shadow-copy session failed with 0x80042301 (VSS_E_BAD_STATE)"},
        {"exit 0, volumes= matched nothing", [](RunRecord& r) { r.volumesAdded.clear(); }, "failed",
         "no volume was added"},
        {"checkpoint unanswered",
         [](RunRecord& r) {
             r.servers.push_back(r.servers[0]);
             r.servers[1].role = "peer";
             r.servers[1].checkpoint = {true, false, 12152, 0, 0};
         },
         "checkpointNotDelivered",
         "request to the peer server 127.0.0.1:8080 got no answer (error 12152); a "
         "later run may pass"},
        {"runner never thawed",
         [](RunRecord& r) {
             r.externallyInitiated = true;
             r.servers.clear();
             r.thawStartWait = 258;
         },
         "checkpointNotDelivered", "the runner did not signal thaw-start in time"},
        {"runner thawed",
         [](RunRecord& r) {
             r.externallyInitiated = true;
             r.servers.clear();
             r.thawStartWait = 0;
         },
         "ok", "the runner signalled thaw-start"},
        {"a writer failed, with a checkpoint answered",
         [](RunRecord& r) { r.writers[1] = {"Log Writer", 9, 0x800423F4, "{W}", "{I}", "DoSnapshotSet"}; },
         "inconsistent",
         "writer \"Log Writer\" is VSS_WS_FAILED_AT_FREEZE with 0x800423F4 "
         "(VSS_E_WRITERERROR_NONRETRYABLE) after DoSnapshotSet"},
        {"simulated", [](RunRecord& r) { r.simulator = true; }, "ok",
         "simulated requester (test switch, never in production): nothing was snapshotted; snapshot taken"},
    };
    for (const auto& row : rows) {
        RunRecord record = vssRun();
        row.change(record);
        EXPECT_EQ(row.outcome, record.outcome()) << row.what;
        const std::string reason = record.reason();
        EXPECT_NE(std::string::npos, reason.find(row.reason)) << row.what << ": " << reason;
        EXPECT_EQ(std::string::npos, reason.find('\n')) << row.what;
    }
}

TEST(RunRecord, StatusNamesAreTheAgentsOwnThenTheShadowCopyNames) {
    EXPECT_EQ("success", RunRecord::statusName(0).value());
    EXPECT_EQ("quiescedWaitTimedOut", RunRecord::statusName(-1001).value());
    EXPECT_EQ("providerServiceMissing", RunRecord::statusName(-1006).value());
    EXPECT_EQ("VSS_E_PROVIDER_VETO", RunRecord::statusName(static_cast<i32>(0x80042306)).value());
    EXPECT_EQ("E_NOTIMPL", RunRecord::statusName(static_cast<i32>(0x80004001)).value());
    // Symbols where the log has sentences, and the writers' own failure codes.
    EXPECT_EQ("VSS_E_SNAPSHOT_SET_IN_PROGRESS", RunRecord::statusName(static_cast<i32>(0x80042316)).value());
    EXPECT_EQ("E_UNEXPECTED", RunRecord::statusName(static_cast<i32>(0x8000FFFF)).value());
    EXPECT_EQ("VSS_E_WRITERERROR_NONRETRYABLE", RunRecord::statusName(static_cast<i32>(0x800423F4)).value());
    EXPECT_EQ("VSS_E_WRITER_STATUS_NOT_AVAILABLE",
              RunRecord::statusName(static_cast<i32>(0x80042409)).value());
    EXPECT_EQ(std::nullopt, RunRecord::statusName(static_cast<i32>(0x80042305)));
    EXPECT_EQ(std::nullopt, RunRecord::statusName(static_cast<i32>(0x80052306)));
    EXPECT_EQ(std::nullopt, RunRecord::statusName(-1003));
    EXPECT_EQ(std::nullopt, RunRecord::statusName(0x7FFFFFFF));
    EXPECT_EQ("VSS_WS_FAILED_AT_FREEZE", RunRecord::writerStateName(9).value());
    EXPECT_EQ(std::nullopt, RunRecord::writerStateName(17));
}

TEST(RunRecord, LineOfAFrozenDefaultModeRun) {
    RunRecord record = vssRun();
    record.agent = "1.2.3.0";
    record.start = RunRecord::isoUtc(2026, 12, 7, 0, 5, 9, 7);
    record.end = "2026-12-07T00:05:09.900Z";
    record.argsParsed = true;
    record.localUrl = "127.0.0.1";
    record.localPort = "8080";
    record.peerUrl = "0.0.0.0";
    record.peerPort = "0";
    record.tag = "t\"ag";
    record.volumes = {"C:\\"};
    record.status = 0;
    record.ticksPerSecond = 1000000;
    record.quiescedTicks = 5000000;
    record.thawSetTicks = 5012345;
    record.statusWrittenTicks = 5000400;
    record.snapshotSetStarted = true;
    RunRecordServer server;
    server.role = "local";
    server.host = "127.0.0.1";
    server.port = 8080;
    server.ping = {true, true, 0, 100, 2100};
    server.checkpoint = {true, false, 12152, 5000100, 5011100};
    record.servers = {server};
    record.readNotificationReceived = false;
    record.secondSnapshotResult = 0;
    record.runOnceRegistered = true;
    record.runOnceRemoved = true;
    record.bcdeditDisable = 0;
    record.bcdeditEnable = 0;
    record.stampSaved = false;
    record.stampSaveError = 2;
    record.previousRunUnfinished = {{"r0", 4242, "2026-12-07T00:01:00.000Z", true, false}};
    record.unfinishedNotListed = 3;
    record.markersDropped = 2;
    record.recordNotes = {"finish failed: x"};
    record.writers.resize(1);
    record.host = "h1";
    record.pid = 77;
    record.osBuild = "10.0.20348";
    record.flowStartTicks = 4000000;
    record.flowEndTicks = 5500000;
    record.settings = {72000, std::nullopt, 62000, 80000, {"base.cfg", "local.cfg"}};
    EXPECT_EQ(
        "{\"schema\":3,\"run\":\"r1\",\"agent\":\"1.2.3.0\",\"start\":\"2026-12-07T00:05:09.007Z\","
        "\"end\":\"2026-12-07T00:05:09.900Z\",\"host\":\"h1\",\"pid\":77,\"osBuild\":\"10.0.20348\","
        "\"mode\":\"internal\",\"gui\":false,"
        "\"args\":{\"local\":\"127.0.0.1\",\"localPort\":\"8080\",\"peer\":\"0.0.0.0\",\"peerPort\":\"0\","
        "\"tag\":\"t\\\"ag\",\"volumes\":[\"C:\\\\\"],\"backupType\":-1},"
        "\"settings\":{\"quiescedWaitMs\":72000,\"thawStartWaitMs\":null,\"waitAsyncMs\":62000,"
        "\"readWaitMs\":80000,\"backupType\":5,\"tweakFiles\":[\"base.cfg\",\"local.cfg\"]},"
        "\"requester\":\"vss\",\"exit\":0,\"outcome\":\"checkpointNotDelivered\","
        "\"reason\":\"exit 0, but the checkpoint request to the local server 127.0.0.1:8080 got no answer "
        "(error 12152); a later run may pass\","
        "\"status\":0,\"statusName\":\"success\",\"frozenMs\":12.345,\"statusWriteMs\":0.400,"
        "\"snapshotMs\":1500.000,\"servers\":[{\"role\":\"local\",\"host\":\"127.0.0.1\",\"port\":8080,"
        "\"ping\":{\"ok\":true,\"error\":null,\"ms\":2.000},"
        "\"checkpoint\":{\"ok\":false,\"error\":12152,\"ms\":11.000}}],"
        "\"runner\":{\"thawStart\":null,\"readNotification\":\"timedOut\"},"
        "\"writers\":[{\"name\":\"System Writer\",\"id\":\"{W1}\",\"instanceId\":\"{I1}\","
        "\"phase\":\"BackupComplete\",\"state\":1,\"stateName\":\"VSS_WS_STABLE\","
        "\"failure\":0,\"failureName\":null,\"failed\":false}],"
        "\"volumesAdded\":[{\"path\":\"\\\\\\\\?\\\\Volume{1}\\\\\",\"result\":0,\"resultName\":\"success\"}]"
        ","
        "\"snapshotSetId\":\"{S}\",\"requesterResult\":0,\"requesterResultName\":\"success\","
        "\"failedStep\":null,\"failedCode\":null,\"failedCodeName\":null,\"secondSnapshot\":0,\"consistent\":"
        "true,"
        "\"guards\":{\"runOnce\":{\"registered\":true,\"removed\":true},"
        "\"bcdedit\":{\"disable\":0,\"enable\":0},"
        "\"lastAliveStamp\":{\"save\":\"absent\",\"error\":2,\"restored\":null}},"
        "\"previousRunUnfinished\":[{\"run\":\"r0\",\"pid\":4242,\"start\":\"2026-12-07T00:01:00.000Z\","
        "\"runOncePresent\":true,\"lastAliveStampPresent\":false}],"
        "\"markerScan\":{\"unfinishedNotListed\":3,\"dropped\":2,\"cut\":false},"
        "\"recordNotes\":[\"finish failed: x\"]}\n",
        record.jsonLine());
}

TEST(RunRecord, NothingFrozenOrSentGivesNulls) {
    RunRecord record;
    record.externallyInitiated = true;
    record.exitCode = -1006;
    record.status = -1006;
    record.ticksPerSecond = 1000000;
    record.thawStartWait = 258;
    record.servers.resize(1);
    record.quiescedTicks = 1000;
    record.thawSetTicks = 2000;
    const std::string line = record.jsonLine();
    for (const char* piece :
         {"\"mode\":\"external\"", "\"args\":{}", "\"requester\":null", "\"exit\":-1006",
          "\"statusName\":\"providerServiceMissing\"", "\"frozenMs\":null,\"statusWriteMs\":null",
          "\"ping\":null,\"checkpoint\":null", "\"thawStart\":\"timedOut\"", "\"requesterResult\":null",
          "\"consistent\":false", "\"outcome\":\"failed\"", "\"snapshotSetId\":null,\"requesterResult\":null",
          "\"settings\":{\"quiescedWaitMs\":null,\"thawStartWaitMs\":null,\"waitAsyncMs\":null,"
          "\"readWaitMs\":null,\"backupType\":null,\"tweakFiles\":[]}",
          "\"lastAliveStamp\":{\"save\":null,\"error\":null,\"restored\":null}",
          "\"previousRunUnfinished\":[],\"markerScan\":{\"unfinishedNotListed\":0,\"dropped\":0,\"cut\":"
          "false},"
          "\"recordNotes\":[]"})
        EXPECT_NE(std::string::npos, line.find(piece)) << piece << "\n" << line;
    EXPECT_EQ(1u, std::count(line.begin(), line.end(), '\n'));
}

TEST(RunRecordMarker, ReadsBackWhatItWroteAndNothingElse) {
    RunRecordMarker written{"8f8dab76-a01d-4cb1-9983-fd4263c08fd2", 4242, 133467123456789012ull,
                            "2026-12-07T00:05:09.007Z"};
    RunRecordMarker read;
    ASSERT_TRUE(RunRecordMarker::parse(written.text(), read));
    EXPECT_EQ(written.run, read.run);
    EXPECT_EQ(written.pid, read.pid);
    EXPECT_EQ(written.created, read.created);
    EXPECT_EQ(written.start, read.start);
    // The largest numbers each field can hold.
    RunRecordMarker largest{"a", 4294967295, 18446744073709551615ull, "2026-12-07T00:05:09.007Z"};
    ASSERT_TRUE(RunRecordMarker::parse(largest.text(), read));
    EXPECT_EQ(largest.pid, read.pid);
    EXPECT_EQ(largest.created, read.created);

    // Whatever else lies under a marker's name is refused, never thrown on.
    const std::string text = written.text();
    auto with = [](const std::string& pid, const std::string& created = "1") {
        return "run=a\npid=" + pid + "\ncreated=" + created + "\nstart=2026-12-07T00:05:09.007Z\n";
    };
    ASSERT_TRUE(RunRecordMarker::parse(with("1"), read)); // each case below breaks one thing
    for (const std::string& bad : std::vector<std::string>{
             text.substr(0, text.find("start=")),
             with("12x"),
             with(""),
             std::string(),
             with("9999999999999999999"),
             with("4294967296"),
             with("-1"),
             with("+1"),
             with(" 1"),
             with("01"),
             with("1", "18446744073709551616"),
             with("1", "99999999999999999999999"),
             "run=a b\npid=1\ncreated=1\nstart=2026-12-07T00:05:09.007Z\n",
             "run=a\npid=1\ncreated=1\nstart=\"x\"\n",
             text + "extra=1\n",
             text + "\n",
             "\n" + text,
             std::string("run=a\0\npid=1", 12),
             std::string(5000, 'r'),
             "run=" + std::string(65, 'a') + "\npid=1\ncreated=1\nstart=2026-12-07T00:05:09.007Z\n"}) {
        RunRecordMarker untouched{"kept", 1, 2, "s"};
        EXPECT_FALSE(RunRecordMarker::parse(bad, untouched)) << bad;
        EXPECT_EQ("kept", untouched.run);
    }
}

} // namespace
