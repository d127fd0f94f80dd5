// The agent's Application event log entries, as Wine shows them: Wine keeps
// no log, but ReportEventW traces its type and event ID on the advapi fixme
// channel and each insertion string on the eventlog channel, to the Unix
// standard error of the process. A Windows child shares the test's, so the
// agent is started from a shell, `wine` with its standard error in a file.
// The shell's exit status carries the low 8 bits of the agent's exit code.
#ifdef _WIN32
#include "AgentCommon/TextConversion.h"
#include "support/StandInRunTest.h"

#include <windows.h>

#include <sddl.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {
const wchar_t kSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\OrvelVssAgent";

struct TracedEvent {
    std::string channel; // "trace", "warn" or "err"
    unsigned long type = 0;
    unsigned long id = 0;
    std::vector<std::string> strings;
};

std::string unixPath(const std::wstring& path) {
    typedef char*(CDECL * UnixFileName)(const wchar_t*);
    const UnixFileName convert = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* converted = convert != nullptr ? convert(path.c_str()) : nullptr;
    const std::string text = converted != nullptr ? converted : "";
    HeapFree(GetProcessHeap(), 0, converted);
    return text;
}

// "0024:fixme:advapi:ReportEventW (handle,0x0001,0x0000,0x000003eb,sid,0x000a,...)" followed by
// one "0024:err:eventlog:ReportEventW L\"text\"" per string.
std::vector<TracedEvent> tracedEvents(const std::string& trace) {
    std::vector<TracedEvent> events;
    std::istringstream in(trace);
    size_t pending = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t call = line.find(":advapi:ReportEventW (");
        if (call != std::string::npos) {
            std::vector<unsigned long> fields;
            std::istringstream args(line.substr(call + 22));
            for (std::string field; std::getline(args, field, ',');)
                fields.push_back(std::strtoul(field.c_str(), nullptr, 16));
            events.push_back(TracedEvent());
            events.back().type = fields.size() > 5 ? fields[1] : 0;
            events.back().id = fields.size() > 5 ? fields[3] : 0;
            pending = fields.size() > 5 ? fields[5] : 0;
            continue;
        }
        const size_t text = line.find(":eventlog:ReportEventW L\"");
        if (text == std::string::npos || pending == 0 || events.empty())
            continue;
        --pending;
        const size_t channel = line.find(':') + 1;
        events.back().channel = line.substr(channel, line.find(':', channel) - channel);
        std::string value;
        for (size_t i = text + 25; i + 1 < line.size() || (i < line.size() && line[i] != '"'); ++i)
            value += line[i] == '\\' && i + 1 < line.size() ? line[++i] : line[i];
        events.back().strings.push_back(value);
    }
    return events;
}

// The message table entry `id` of the agent with `strings` in place.
std::string rendered(unsigned long id, const std::vector<std::string>& strings) {
    HMODULE agent = LoadLibraryExW(program(L"OrvelVssAgent.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::vector<std::wstring> wideStrings;
    for (const std::string& text : strings)
        wideStrings.push_back(wide(text));
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& text : wideStrings)
        arguments.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, agent,
        id, 0, reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(arguments.data()));
    const std::string result = length != 0 ? utf8Text(text, length) : "";
    LocalFree(text);
    FreeLibrary(agent);
    return result;
}

class EventLog : public StandInRunTest {
protected:
    // One run with the stand-ins; its events, and the low 8 bits of its exit code.
    std::vector<TracedEvent> runTraced(const Args& args, int& exitLow) {
        std::string command = "WINEDEBUG=fixme+advapi,+eventlog timeout 60 wine '" +
                              unixPath(program(L"OrvelVssAgent.exe")) + "'";
        for (const std::wstring& arg : args)
            command += " '" + utf8Text(arg) + "'";
        TempWorkingDir::writeFile(m_dir.file("run.sh"), "cd \"$(dirname \"$0\")\"\n" + command +
                                                            " >agent.out 2>agent.err\n"
                                                            "echo $? >exit.tmp && mv exit.tmp exit.txt\n");
        DeleteFileA(m_dir.file("exit.txt").c_str());
        ChildOptions options;
        options.environment = m_environment;
        BackgroundChild shell(L"Z:\\bin\\sh", {wide(unixPath(wide(m_dir.file("run.sh"))))}, options);
        // Wine cannot wait for a Unix process: the script says when it is done.
        std::string exitText;
        for (int i = 0; i < 9000 && (exitText = TempWorkingDir::readFile(m_dir.file("exit.txt"))).empty();
             ++i)
            Sleep(10);
        EXPECT_FALSE(exitText.empty()) << "the agent did not end within 90 s";
        exitLow = exitText.empty() ? -1 : std::atoi(exitText.c_str());
        return tracedEvents(TempWorkingDir::readFile(m_dir.file("agent.err")));
    }

    static std::wstring sourceValue(const wchar_t* name, DWORD& type) {
        wchar_t value[1024] = L"";
        DWORD size = sizeof(value) - sizeof(wchar_t);
        type = 0;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kSourceKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, value,
                         &size) != ERROR_SUCCESS)
            return L"";
        DWORD number = 0;
        std::memcpy(&number, value, sizeof(number));
        return type == REG_DWORD ? std::to_wstring(number) : value;
    }

    // One outcome event with this ID, level and strings; an unfinished-run
    // event before it when `unfinished` names a run.
    void expectEvents(const std::vector<TracedEvent>& events, unsigned long id, unsigned long type,
                      const std::string& channel, const std::vector<std::pair<int, std::string>>& strings,
                      const std::string& unfinished = "") {
        ASSERT_EQ(unfinished.empty() ? 1u : 2u, events.size());
        if (!unfinished.empty()) {
            EXPECT_EQ(1004u, events[0].id);
            EXPECT_EQ(2u, events[0].type);
            ASSERT_EQ(5u, events[0].strings.size());
            EXPECT_EQ(unfinished, events[0].strings[0]);
            EXPECT_EQ(events[1].strings[0], events[0].strings[4]);
            EXPECT_NE(std::string::npos, rendered(1004, events[0].strings).find("run " + unfinished));
        }
        const TracedEvent& event = events.back();
        EXPECT_EQ(id, event.id);
        EXPECT_EQ(type, event.type);
        EXPECT_EQ(channel, event.channel);
        ASSERT_EQ(10u, event.strings.size());
        const Json record = lastRunRecord();
        EXPECT_EQ(record.value("run", ""), event.strings[0]);
        EXPECT_EQ(record.value("reason", ""), event.strings[8]);
        for (const auto& expected : strings)
            EXPECT_EQ(expected.second, event.strings.at(expected.first)) << expected.first;
        const std::string text = rendered(id, event.strings);
        for (const std::string& inserted : event.strings)
            EXPECT_NE(std::string::npos, text.find(inserted)) << text;
    }
};

TEST_F(EventLog, OneEntryPerOutcomeWithItsIdLevelAndTheRecordsSummary) {
    // A registration left by someone else, of the wrong type: written anew.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0, KEY_SET_VALUE,
                                             nullptr, &key, nullptr));
    const DWORD junk = 5;
    RegSetValueExW(key, L"EventMessageFile", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&junk),
                   sizeof(junk));
    RegCloseKey(key);
    // A run that died: its marker names a process that is gone.
    TempWorkingDir::writeFile(agentLogs() + "run-dead.inprogress",
                              "run=dead\npid=1\ncreated=1\nstart=2026-12-08T00:00:00.000Z\n");

    ASSERT_TRUE(AgentRegistry::setLastAliveStamp(kStamp));
    Server server(m_dir, "server");
    const Args defaultMode = {L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"};
    int exitLow = 0;
    expectEvents(runTraced(defaultMode, exitLow), 1000, EVENTLOG_INFORMATION_TYPE, "trace",
                 {{1, "internal"}, {2, "vss"}, {3, "0 (success)"}}, "dead");
    EXPECT_EQ(0, exitLow);
    DWORD type = 0;
    EXPECT_EQ(
        0, _wcsicmp(program(L"OrvelVssAgent.exe").c_str(), sourceValue(L"EventMessageFile", type).c_str()));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(L"7", sourceValue(L"TypesSupported", type));

    m_standIn.configure("writer=Db Writer|1|0\nwriter=Log Writer|9|0x800423f4\n");
    expectEvents(
        runTraced(defaultMode, exitLow), 1001, EVENTLOG_WARNING_TYPE, "warn",
        {{6, "Db Writer (VSS_WS_STABLE); Log Writer (VSS_WS_FAILED_AT_FREEZE, -2147212300 0x800423F4 "
             "(VSS_E_WRITERERROR_NONRETRYABLE))"},
         {7, "as before: RunOnce entry removed; boot-status policy restored; LastAliveStamp restored"}});
    EXPECT_EQ(0, exitLow);

    provider({L"--uninstall"});
    expectEvents(runTraced(defaultMode, exitLow), 1003, EVENTLOG_ERROR_TYPE, "err",
                 {{3, "-1006 (providerServiceMissing)"},
                  {4, "-1006 (providerServiceMissing)"},
                  {5, "nothing was frozen"}});
    EXPECT_EQ(-1006 & 0xFF, exitLow);
    // The one entry that needs no run: the checkpoint that did not arrive.
    EXPECT_NE(std::string::npos,
              rendered(1002, std::vector<std::string>(10, "x")).find("was not delivered: x."));
}

TEST_F(EventLog, OffOrUnregisterableItChangesNothingElse) {
    provider({L"--uninstall"});
    int exitLow = 0;
    tweaks(kRealRequester + "t_eventLogEnabled=0\n");
    EXPECT_TRUE(runTraced({L"127.0.0.1", L"1", L"0.0.0.0", L"0", L"abc"}, exitLow).empty());
    EXPECT_EQ(-1006 & 0xFF, exitLow);

    // A source key the agent may read but not write: the entry still goes
    // out, the run ends as it would have, and one Warn record says why.
    tweaks(kRealRequester);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0, WRITE_DAC,
                                             nullptr, &key, nullptr));
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KRWDSD;;;WD)", SDDL_REVISION_1,
                                                                     &readOnly, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, readOnly));
    LocalFree(readOnly);
    RegCloseKey(key);
    const std::vector<TracedEvent> events =
        runTraced({L"127.0.0.1", L"1", L"0.0.0.0", L"0", L"abc"}, exitLow);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
    EXPECT_EQ(-1006 & 0xFF, exitLow);
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(1003u, events[0].id);
    size_t warnings = 0;
    for (const LogRecord& record : currentRun())
        warnings += record.level == "Warn" &&
                    record.message.find("The event log source could not be registered") == 0 &&
                    record.message.find(" registerError=5 ") != std::string::npos;
    EXPECT_EQ(1u, warnings);
}
} // namespace
#endif
