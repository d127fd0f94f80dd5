// A run's event log entries as an operator filters and reads them: ID,
// level and insertion strings from the run record, the registration found
// in the registry taken as hostile, and a failing event log that changes
// nothing but one Warn record.
#include "AgentCommon/RunEvent.h"
#include "AgentCommon/EventSourceValues.h"
#include "AgentCommon/RunEventReporter.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
// A default-mode run with the real requester, frozen 2.5 ms, every guard
// put back.
RunRecord goodRun() {
    RunRecord record;
    record.run = "r1";
    record.agent = "1.0.0.0";
    record.simulator = false;
    record.exitCode = 0;
    record.status = 0;
    record.snapshotSetStarted = true;
    record.ticksPerSecond = 1000000;
    record.quiescedTicks = 7000000;
    record.thawSetTicks = 7002500;
    RunRecordServer server;
    server.role = "local";
    server.host = "127.0.0.1";
    server.port = 8080;
    server.checkpoint.sent = server.checkpoint.ok = true;
    record.servers = {server};
    record.writers = {{"Db Writer", 1, 0, "", "", ""}};
    record.requesterResult = 0;
    record.runOnceRegistered = record.runOnceRemoved = true;
    record.bcdeditDisable = record.bcdeditEnable = 0;
    record.stampSaved = record.stampRestored = true;
    return record;
}

RunEvent outcomeEvent(const RunRecord& record) {
    return RunEvent::forRun(record).back();
}

TEST(RunEvent, GoodRunIsOneInformationEntryWithTheRecordsSummary) {
    const std::vector<RunEvent> events = RunEvent::forRun(goodRun());
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(1000u, events[0].id);
    EXPECT_EQ(RunEventType::information, events[0].type);
    EXPECT_EQ(
        (std::vector<std::string>{
            "r1", "internal", "vss", "0 (success)", "0 (success)", "2.500 ms", "Db Writer (VSS_WS_STABLE)",
            "as before: RunOnce entry removed; boot-status policy restored; LastAliveStamp restored",
            goodRun().reason(), "1.0.0.0"}),
        events[0].strings);

    RunRecord simulated = goodRun();
    simulated.simulator = true;
    simulated.writers.clear();
    EXPECT_EQ(1000u, outcomeEvent(simulated).id);
    EXPECT_EQ(simulated.reason(), outcomeEvent(simulated).strings[8]);
}

TEST(RunEvent, EachOutcomeHasItsIdLevelAndReason) {
    RunRecord writerFailed = goodRun();
    writerFailed.writers.push_back({"Log Writer", 9, 0x800423F4, "", "", "DoSnapshotSet"});
    RunRecord vetoed = goodRun();
    vetoed.requesterResult = static_cast<i32>(0x80042306);
    RunRecord serverDown = goodRun();
    serverDown.servers[0].checkpoint.ok = false;
    serverDown.servers[0].checkpoint.error = 12029;
    RunRecord runnerLate = goodRun();
    runnerLate.externallyInitiated = true;
    runnerLate.thawStartWait = 258;
    RunRecord providerMissing;
    providerMissing.exitCode = -1006;
    providerMissing.status = -1006;
    RunRecord usage;
    usage.exitCode = 1;
    RunRecord failedBeforeFreeze = vetoed;
    failedBeforeFreeze.snapshotSetStarted = false;
    const struct {
        RunRecord record;
        u32 id;
        RunEventType type;
    } rows[] = {
        {writerFailed, 1001, RunEventType::warning},
        // The requester failed after the freeze: exit 0, not consistent.
        {vetoed, 1001, RunEventType::warning},
        {failedBeforeFreeze, 1003, RunEventType::error},
        {serverDown, 1002, RunEventType::warning},
        {runnerLate, 1002, RunEventType::warning},
        {providerMissing, 1003, RunEventType::error},
        {usage, 1003, RunEventType::error},
    };
    for (const auto& row : rows) {
        const RunEvent event = outcomeEvent(row.record);
        EXPECT_EQ(row.id, event.id) << row.record.reason();
        EXPECT_EQ(row.type, event.type) << row.record.reason();
        EXPECT_EQ(row.record.reason(), event.strings.at(8));
    }
    const RunEvent failed = outcomeEvent(providerMissing);
    EXPECT_EQ("-1006 (providerServiceMissing)", failed.strings[3]);
    EXPECT_EQ("-1006 (providerServiceMissing)", failed.strings[4]);
    EXPECT_EQ("nothing was frozen", failed.strings[5]);
    EXPECT_EQ("none reported", failed.strings[6]);
    EXPECT_EQ("as before: nothing was changed", failed.strings[7]);
    EXPECT_EQ("none chosen", failed.strings[2]);
    EXPECT_EQ("none written", outcomeEvent(usage).strings[4]);
    EXPECT_EQ("1 (usage)", outcomeEvent(usage).strings[3]);
    EXPECT_EQ("Db Writer (VSS_WS_STABLE); Log Writer (VSS_WS_FAILED_AT_FREEZE, -2147212300 0x800423F4 "
              "(VSS_E_WRITERERROR_NONRETRYABLE))",
              outcomeEvent(writerFailed).strings[6]);
}

TEST(RunEvent, GuardsThatDidNotPutTheMachineBackSayNotAsBefore) {
    RunRecord record = goodRun();
    record.runOnceRemoved = false;
    record.bcdeditEnable = 1;
    record.stampRestored = false;
    EXPECT_EQ("NOT as before: RunOnce entry left in place; boot-status policy not restored (1); "
              "LastAliveStamp not restored",
              outcomeEvent(record).strings[7]);
    record = goodRun();
    record.stampSaved = false;
    record.stampSaveError = 2;
    record.stampRestored.reset();
    EXPECT_EQ("as before: RunOnce entry removed; boot-status policy restored; no LastAliveStamp to put back",
              outcomeEvent(record).strings[7]);
}

TEST(RunEvent, EarlierUnfinishedRunsComeFirstOneEachAndBounded) {
    RunRecord record = goodRun();
    record.previousRunUnfinished = {{"old", 42, "2026-12-08T00:00:00.000Z", true, false}};
    std::vector<RunEvent> events = RunEvent::forRun(record);
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(1004u, events[0].id);
    EXPECT_EQ(RunEventType::warning, events[0].type);
    EXPECT_EQ((std::vector<std::string>{"old", "42", "2026-12-08T00:00:00.000Z",
                                        "its RunOnce entry OrvelVssAgent (boot-status policy relaxed until "
                                        "it runs); no LastAliveStamp (lost)",
                                        "r1"}),
              events[0].strings);
    EXPECT_EQ(1000u, events[1].id);

    record.previousRunUnfinished.assign(40, {"old", 1, "", false, true});
    events = RunEvent::forRun(record);
    EXPECT_EQ(RunEvent::kMaxUnfinished + 1, events.size());
    EXPECT_EQ(1000u, events.back().id);
}

TEST(RunEvent, HostileWriterNamesAreCutAtAWholeCharacter) {
    RunRecord record = goodRun();
    record.writers = {
        {std::string(RunEvent::kMaxStringBytes - 4, 'a') + "\xE2\x82\xAC\xE2\x82\xAC", 1, 0, "", "", ""}};
    const std::string writers = outcomeEvent(record).strings[6];
    EXPECT_EQ(std::string(RunEvent::kMaxStringBytes - 4, 'a') + "...", writers);
}

std::vector<u8> utf16Bytes(const std::u16string& text, bool terminated) {
    std::vector<u8> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<u8>(c & 0xFF));
        bytes.push_back(static_cast<u8>(c >> 8));
    }
    if (terminated)
        bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

TEST(EventSourceValues, OnlyAnExactRegistrationOfThisExecutableIsCurrent) {
    const std::u16string exe = u"C:\\Program Files\\Orvel\\OrvelVssAgent.exe";
    const std::vector<u8> seven = {7, 0, 0, 0};
    const u32 sz = EventSourceValues::kString, expand = EventSourceValues::kExpandString,
              dword = EventSourceValues::kDword;
    const struct {
        u32 fileType;
        std::vector<u8> file;
        u32 typesType;
        std::vector<u8> types;
        bool current;
    } rows[] = {
        {expand, utf16Bytes(exe, true), dword, seven, true},
        {sz, utf16Bytes(exe, false), dword, seven, true},
        {expand, utf16Bytes(u"c:\\PROGRAM FILES\\orvel\\orvelvssagent.EXE", true), dword, seven, true},
        // Missing, elsewhere, of another type or length, cut, or with the
        // wrong types: written anew.
        {0, {}, 0, {}, false},
        {expand, utf16Bytes(u"C:\\Old\\OrvelVssAgent.exe", true), dword, seven, false},
        {expand, utf16Bytes(exe + std::u16string(2, u'\0'), false), dword, seven, false},
        {3, utf16Bytes(exe, true), dword, seven, false},
        {expand, {0x43, 0x00, 0x3A}, dword, seven, false},
        {expand, utf16Bytes(exe.substr(0, 10), true), dword, seven, false},
        {expand, utf16Bytes(exe, true), dword, {7, 0, 0}, false},
        {expand, utf16Bytes(exe, true), dword, {3, 0, 0, 0}, false},
        {expand, utf16Bytes(exe, true), sz, seven, false},
        {expand, utf16Bytes(u"", true), dword, seven, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.current,
                  EventSourceValues::current(row.fileType, row.file, row.typesType, row.types, exe))
            << row.file.size() << " " << row.types.size();
    EXPECT_FALSE(EventSourceValues::current(expand, utf16Bytes(u"", true), dword, seven, u""));
}

class FakeEventLog : public IEventLog {
public:
    u32 registerError = 0;
    u32 writeError = 0;
    std::vector<u32> written;

    u32 registerSource() override { return registerError; }
    u32 write(const RunEvent& event) override {
        if (writeError != 0)
            return writeError;
        written.push_back(event.id);
        return 0;
    }
};

size_t warnings() {
    size_t count = 0;
    for (const std::string& message : LogCapture::instance().messages())
        count += message.find("The event log source could not be registered") == 0;
    return count;
}

TEST(RunEventReporter, AFailingEventLogGivesOneWarnRecordAndEntriesStillGoOut) {
    RunRecord record = goodRun();
    record.previousRunUnfinished = {{"old", 42, "", false, true}};
    LogCapture::instance().clear();
    FakeEventLog log;
    EXPECT_TRUE(RunEventReporter::report(record, log));
    EXPECT_EQ((std::vector<u32>{1004, 1000}), log.written);
    EXPECT_EQ(0u, warnings());

    FakeEventLog unregistered;
    unregistered.registerError = 5;
    EXPECT_FALSE(RunEventReporter::report(record, unregistered));
    EXPECT_EQ((std::vector<u32>{1004, 1000}), unregistered.written);
    EXPECT_EQ(1u, warnings());
    EXPECT_TRUE(LogCapture::instance().hasMessageContaining(" registerError=5 "));

    LogCapture::instance().clear();
    FakeEventLog failing;
    failing.writeError = 1502;
    EXPECT_FALSE(RunEventReporter::report(record, failing));
    EXPECT_EQ(1u, warnings());
    EXPECT_TRUE(LogCapture::instance().hasMessageContaining(" writeError=1502 "));
    EXPECT_TRUE(LogCapture::instance().hasMessageContaining(" eventId=1004 "));
}
} // namespace
