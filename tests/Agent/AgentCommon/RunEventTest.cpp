// A run's event log entries as an operator filters and reads them: ID, level and insertion strings
// from the run record, the registration found in the registry taken as hostile, and a failing event
// log that changes nothing but one Warn record.
#include "AgentCommon/RunEvent.h"
#include "AgentCommon/EventSourceValues.h"
#include "AgentCommon/RunEventReporter.h"
#include "GoodRun.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace {
typedef std::vector<std::string> Strings;

TEST(RunEvent, EachOutcomeHasItsIdLevelAndStrings) {
    const std::string kept(RunEvent::kMaxStringBytes - 4, 'a'), missing = "-1006 (providerServiceMissing)";
    // A change of the good run, the entry's ID and some of its strings.
    const std::tuple<std::function<void(RunRecord&)>, u32, std::map<size_t, std::string>> rows[] = {
        // clang-format off
        {[](RunRecord&) {}, 1000, {{0, "r1"}, {1, "internal"}, {2, "vss"}, {3, "0 (success)"},
         {4, "0 (success)"}, {5, "12.345 ms"}, {6, "System Writer (VSS_WS_STABLE)"}, {9, "1.2.3.0"},
         {7, "as before: RunOnce entry removed; boot-status policy restored; no LastAliveStamp to put back"}}},
        {[](RunRecord& r) { r.simulator = true; r.writers.clear(); }, 1000,
         {{2, "simulator"}, {6, "none reported"}}},
        {[](RunRecord& r) { r.writers.push_back({"Log Writer", 9, 0x800423F4, "", "", ""}); }, 1001,
         {{6, "System Writer (VSS_WS_STABLE); Log Writer (VSS_WS_FAILED_AT_FREEZE, -2147212300 0x800423F4 "
              "(VSS_E_WRITERERROR_NONRETRYABLE))"}}},
        {[](RunRecord& r) { r.externallyInitiated = true; r.thawStartWait = 258; }, 1002, {{1, "external"}}},
        {[](RunRecord& r) { r = {}; r.status = r.exitCode = -1006; }, 1003,
         {{2, "none chosen"}, {3, missing}, {4, missing}, {5, "nothing was frozen"}, {6, "none reported"},
          {7, "as before: nothing was changed"}}},
        {[](RunRecord& r) { r = {}; r.exitCode = 1; }, 1003, {{3, "1 (usage)"}, {4, "none written"}}},
        {[](RunRecord& r) { r.runOnceRemoved = r.stampRestored = false; r.stampSaved = true; r.bcdeditEnable = 1; },
         1000, {{7, "NOT as before: RunOnce entry left in place; boot-status policy not restored (1); "
              "LastAliveStamp not restored"}}},
        // A writer's name comes from outside: cut at a whole character.
        {[&](RunRecord& r) { r.writers[0].name = kept + "\xE2\x82\xAC\xE2\x82\xAC"; }, 1000,
         {{6, kept + "..."}}},
        // clang-format on
    };
    const RunEventType levels[] = {RunEventType::information, RunEventType::warning, RunEventType::warning,
                                   RunEventType::error};
    for (const auto& [change, id, strings] : rows) {
        RunRecord record = goodRun();
        change(record);
        SCOPED_TRACE(record.reason());
        record.previousRunUnfinished.clear();
        const std::vector<RunEvent> events = RunEvent::forRun(record);
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(id, events[0].id);
        EXPECT_EQ(levels[id - 1000], events[0].type);
        EXPECT_EQ(record.reason(), events[0].strings.at(8));
        for (const auto& [index, text] : strings)
            EXPECT_EQ(text, events[0].strings.at(index));
    }
}

TEST(RunEvent, EarlierUnfinishedRunsComeFirstOneEachAndBounded) {
    RunRecord record = goodRun();
    record.previousRunUnfinished.assign(40, {"old", 42, "2026-12-08T00:00:00.000Z", true, false});
    const std::vector<RunEvent> events = RunEvent::forRun(record);
    ASSERT_EQ(RunEvent::kMaxUnfinished + 1, events.size());
    EXPECT_EQ(1004u, events[0].id);
    EXPECT_EQ(RunEventType::warning, events[0].type);
    EXPECT_EQ((Strings{"old", "42", "2026-12-08T00:00:00.000Z",
                       "its RunOnce entry OrvelVssAgent (boot-status policy relaxed until it runs); "
                       "no LastAliveStamp (lost)",
                       "r1"}),
              events[0].strings);
    EXPECT_EQ(1000u, events.back().id);
}

// A value's bytes as the registry holds them (on this little-endian machine).
std::vector<u8> littleEndian(const std::u16string& text) {
    const u8* bytes = reinterpret_cast<const u8*>(text.data());
    return std::vector<u8>(bytes, bytes + 2 * text.size());
}

TEST(EventSourceValues, OnlyAnExactRegistrationOfThisExecutableIsCurrent) {
    const std::u16string exe = u"C:\\Program Files\\Orvel\\OrvelVssAgent.exe", end(1, u'\0');
    typedef std::vector<u8> Bytes;
    const Bytes seven = {7, 0, 0, 0}, file = littleEndian(exe + end);
    const u32 sz = 1, expand = 2, dword = 4; // the platform's REG_SZ, REG_EXPAND_SZ and REG_DWORD
    const std::tuple<u32, Bytes, u32, Bytes, bool> rows[] = {
        {expand, file, dword, seven, true},
        {sz, littleEndian(exe), dword, seven, true},
        {expand, littleEndian(u"c:\\PROGRAM FILES\\orvel\\orvelvssagent.EXE" + end), dword, seven, true},
        // Elsewhere (a path of the same length, so that each character counts), of another type or
        // length, cut, or with the wrong types: written anew.
        {expand, littleEndian(u"D:\\Program Files\\Orvel\\OrvelVssAgent.exe" + end), dword, seven, false},
        {expand, littleEndian(exe + end + end), dword, seven, false},
        {3, file, dword, seven, false},
        {expand, {0x43, 0x00, 0x3A}, dword, seven, false},
        {expand, file, dword, {7, 0, 0}, false},
        {expand, file, dword, {3, 0, 0, 0}, false},
        {expand, file, sz, seven, false},
    };
    for (const auto& [fileType, fileBytes, typesType, typesBytes, current] : rows)
        EXPECT_EQ(current, EventSourceValues::current(fileType, fileBytes, typesType, typesBytes, exe))
            << fileBytes.size() << " " << typesBytes.size();
    EXPECT_FALSE(EventSourceValues::current(expand, littleEndian(end), dword, seven, u""));
}

// Every entry is tried even when the registration failed; a failed write stops the rest.
struct FakeEventLog : IEventLog {
    FakeEventLog(u32 onRegister, u32 onWrite) : registerError(onRegister), writeError(onWrite) {}
    u32 registerSource() override { return registerError; }
    u32 write(const RunEvent& event) override { return tried.push_back(event.id), writeError; }
    u32 registerError, writeError;
    std::vector<u32> tried;
};

TEST(RunEventReporter, AFailingEventLogGivesOneWarnRecordAndNothingElse) {
    RunRecord record = goodRun();
    record.previousRunUnfinished = {{"old", 42, "", false, true}};
    const std::string warn = "The event log source could not be registered or an entry not written";
    const std::tuple<u32, u32, std::vector<u32>, Strings> rows[] = {
        {0, 0, {1004, 1000}, {}},
        {5, 0, {1004, 1000}, {warn + " registerError=5  writeError=0  eventId=0 "}},
        {0, 1502, {1004}, {warn + " registerError=0  writeError=1502  eventId=1004 "}},
    };
    for (const auto& [registerError, writeError, tried, warned] : rows) {
        LogCapture::instance().clear();
        FakeEventLog log(registerError, writeError);
        EXPECT_EQ(warned.empty(), RunEventReporter::report(record, log));
        EXPECT_EQ(tried, log.tried);
        EXPECT_EQ(warned, LogCapture::instance().messages());
    }
}
} // namespace
