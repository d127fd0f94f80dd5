// The agent's Application event log entries, as Wine shows them: Wine keeps no log, but ReportEventW
// traces its type and event ID on the advapi fixme channel and each insertion string on the eventlog
// channel, to the Unix standard error of the process. A Windows child shares the test's, so the agent
// is started from a shell, `wine` with its standard error in a file; the shell's exit status carries
// the low 8 bits of the agent's exit code. What each entry says is RunEventTest's.
#ifdef _WIN32
#include "AgentCommon/TextConversion.h"
#include "support/VssStandIn.h"

#include <windows.h>

#include <sddl.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {
const wchar_t kSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\OrvelVssAgent";

struct TracedEvent {
    unsigned long type, id;
    std::vector<std::string> strings;
};

// "0024:fixme:advapi:ReportEventW (handle,0x0001,0x0000,0x000003eb,sid,0x000a,...)" followed by
// one "0024:err:eventlog:ReportEventW L\"text\"" per string.
std::vector<TracedEvent> tracedEvents(const std::string& trace) {
    const std::regex call(R"re(:advapi:ReportEventW \([^,]*,0x(\w+),\w+,0x(\w+),)re");
    const std::regex text(R"re(:\w+:eventlog:ReportEventW L"(.*)"$)re"), escaped(R"re(\\(.))re");
    std::vector<TracedEvent> events;
    std::istringstream in(trace);
    std::smatch match;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, match, call))
            events.push_back({std::stoul(match[1], nullptr, 16), std::stoul(match[2], nullptr, 16), {}});
        else if (std::regex_search(line, match, text) && !events.empty())
            events.back().strings.push_back(std::regex_replace(match[1].str(), escaped, "$1"));
    }
    return events;
}

// The message table entry `id` of the agent with `strings` in place.
std::string rendered(unsigned long id, const std::vector<std::string>& strings) {
    HMODULE agent = LoadLibraryExW(program(L"OrvelVssAgent.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::vector<std::wstring> wideStrings;
    std::vector<DWORD_PTR> arguments;
    wideStrings.reserve(strings.size());
    for (const std::string& text : strings)
        arguments.push_back(reinterpret_cast<DWORD_PTR>(wideStrings.emplace_back(wide(text)).c_str()));
    wchar_t text[8192];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, agent,
                                        id, 0, text, 8192, reinterpret_cast<va_list*>(arguments.data()));
    FreeLibrary(agent);
    return utf8Text(text, length);
}

class EventLog : public StandInRunTest {
protected:
    // One run with the stand-ins, ending with the low 8 bits `exitLow` of its exit code; its events.
    std::vector<TracedEvent> runTraced(const Args& args, int exitLow) {
        // The agent ($1) with the other arguments; the script says when it is done. A Unix
        // process starts in the Unix folder of its Windows working folder, and wine takes the
        // agent's Windows path.
        TempWorkingDir::writeFile(
            m_dir.file("run.sh"),
            "exe=$1\nshift\nWINEDEBUG=fixme+advapi,+eventlog timeout 60 wine \"$exe\" \"$@\" "
            ">agent.out 2>agent.err\necho $? >exit.tmp && mv exit.tmp exit.txt\n");
        DeleteFileA(m_dir.file("exit.txt").c_str());
        Args shellArgs = {L"run.sh", program(L"OrvelVssAgent.exe")};
        shellArgs.insert(shellArgs.end(), args.begin(), args.end());
        BackgroundChild shell(L"Z:\\bin\\sh", shellArgs, agentOptions());
        // Wine cannot wait for a Unix process.
        std::string exitText;
        for (int i = 0; i < 9000 && (exitText = TempWorkingDir::readFile(m_dir.file("exit.txt"))).empty();
             ++i)
            Sleep(10);
        EXPECT_EQ(exitLow, exitText.empty() ? -1 : std::atoi(exitText.c_str())) << "-1: not ended in 90 s";
        return tracedEvents(TempWorkingDir::readFile(m_dir.file("agent.err")));
    }

    // One entry ("type id count-of-strings", e.g. "2 1001 10") carrying the run record's run and
    // reason, rendered with all its strings.
    void expectEntry(const std::vector<TracedEvent>& events, const std::string& expected) {
        ASSERT_EQ(1u, events.size());
        ASSERT_EQ(expected, std::to_string(events[0].type) + " " + std::to_string(events[0].id) + " " +
                                std::to_string(events[0].strings.size()));
        const Json record = lastRunRecord();
        EXPECT_EQ(record.value("run", "") + " " + record.value("reason", ""),
                  events[0].strings[0] + " " + events[0].strings[8]);
        const std::string text = rendered(events[0].id, events[0].strings);
        for (const std::string& inserted : events[0].strings)
            EXPECT_NE(std::string::npos, text.find(inserted)) << text;
    }
};

TEST_F(EventLog, OneEntryPerLevelAndTheRunUnchangedWhenUnregisterable) {
    // A registration left by someone else, of the wrong type: written anew.
    const DWORD junk = 5;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSourceKey, L"EventMessageFile", REG_DWORD,
                                             &junk, sizeof(junk)));
    Server server(m_dir, "server");
    const Args defaultMode = localServer(server.port());
    expectEntry(runTraced(defaultMode, 0), "4 1000 10");
    wchar_t file[MAX_PATH] = L"";
    DWORD size = sizeof(file), types = 0, dword = sizeof(types);
    RegGetValueW(HKEY_LOCAL_MACHINE, kSourceKey, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                 nullptr, file, &size);
    EXPECT_EQ(0, _wcsicmp(program(L"OrvelVssAgent.exe").c_str(), file));
    RegGetValueW(HKEY_LOCAL_MACHINE, kSourceKey, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types,
                 &dword);
    EXPECT_EQ(7u, types);

    m_standIn.configure("writer=Db Writer|1|0\nwriter=Log Writer|9|0x800423f4\n");
    expectEntry(runTraced(defaultMode, 0), "2 1001 10");
    // A bad tweak ends the run where it is read, with its line and its entry.
    tweaks(kRealRequester + "t_WaitAsyncTimeoutMsec=-1\n");
    expectEntry(runTraced(defaultMode, 3), "1 1003 10");
    tweaks(kRealRequester + "t_eventLogEnabled=0\n");
    EXPECT_TRUE(runTraced(defaultMode, 0).empty());
    tweaks(kRealRequester);
    // The IDs no run here writes render too: the checkpoint not delivered, an earlier run unfinished.
    const std::vector<std::string> inserts = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};
    EXPECT_NE(std::string::npos, rendered(1002, inserts).find("was not delivered: 9."));
    EXPECT_NE(std::string::npos, rendered(1004, inserts).find("run 1 (process 2, started 3)"));
    // A source key the agent may read but not write, in a run that finds no
    // provider service: the entry still goes out, the run ends as it would
    // have, and one Warn record says why.
    provider({L"--uninstall"});
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
    const std::vector<TracedEvent> events = runTraced(defaultMode, -1006 & 0xFF);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
    expectEntry(events, "1 1003 10");
    size_t warnings = 0;
    for (const LogRecord& record : currentRun())
        warnings += record.level == "Warn" && record.message.find(" registerError=5 ") != std::string::npos;
    EXPECT_EQ(1u, warnings);
}
} // namespace
#endif
