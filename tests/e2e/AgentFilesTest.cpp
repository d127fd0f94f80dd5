// The files of a run of the agent, read back as an operator would: the two
// logs and the run record under <common application data>\Orvel\logs, and the
// tweak files it reads from its working directory (the listing in its log
// shows what won).
#ifdef _WIN32
#include "support/AgentRun.h"

#include <windows.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {
class AgentFiles : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteFileA((m_logs + "log.txt").c_str());
        clearRunRecord();
    }
    // A run that ends with a usage error: its Error record flushes both logs.
    void runAgent() {
        ChildOptions options;
        options.workingDirectory = m_dir.path().wstring();
        ChildResult result = ChildProcess::run(program(L"OrvelVssAgent.exe"), {}, options);
        ASSERT_EQ(1, result.exitCodeSigned()) << result.output;
    }
    std::string mainLog() { return TempWorkingDir::readFile(m_logs + "log.txt"); }
    std::string currentLog() { return TempWorkingDir::readFile(m_logs + "current.log.txt"); }

    TempWorkingDir m_dir;
    std::string m_logs = agentLogs();
};

// The version block says the project's version, which the build writes from
// one place, in both its numeric and its text form.
TEST(AgentExecutable, CarriesTheProjectVersion) {
    const std::wstring agent = program(L"OrvelVssAgent.exe");
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeW(agent.c_str(), &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(agent.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(ORVEL_AGENT_VERSION, std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                       std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                       std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                                       std::to_string(LOWORD(fixed->dwFileVersionLS)));
    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(wide(ORVEL_AGENT_VERSION), std::wstring(text));
}

// Both logs are written and flushed; the run record gets one line: the
// version from the same place as the resource's, its times, no section
// value, and no marker is left behind.
TEST_F(AgentFiles, UsageErrorLeavesBothLogsAndOneRecordLine) {
    runAgent();
    for (const std::string& text : {mainLog(), currentLog()})
        EXPECT_TRUE(
            std::regex_search(text, std::regex(",Error,\\d+,NON,,wmain,ArgumentsParser failed ret=1 \n")))
            << text;
    ASSERT_EQ(1u, runRecordLines().size());
    const Json line = lastRunRecord();
    expectRecordHolds(line, R"({"schema":3,"outcome":"usage","agent":")" ORVEL_AGENT_VERSION
                            R"(","exit":1,"status":null,"args":{}})");
    const std::string start = line["start"], end = line["end"], run = line["run"];
    EXPECT_TRUE(std::regex_match(start, std::regex("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z")))
        << start;
    EXPECT_LE(start, end);
    EXPECT_EQ(36u, run.size());
    EXPECT_TRUE(runMarkerFiles().empty());
}

// The newest valid copy of the base set, then the extension file; code
// defaults fill only the names no file set.
TEST_F(AgentFiles, LaterTweakFilesWinAndDefaultsFillTheRest) {
    // Slot 1 is newer but its checksum is wrong: slot 0 is the base set.
    TempWorkingDir::writeConsistentCopy("jex_tweaks/tweaks.txt", 0, 4,
                                        "t_Zeta = 5\nt_alpha = \"base\" ; a comment\nt_Shared = 1\n"
                                        "t_qlogMaxFiles = 0x7\n");
    TempWorkingDir::writeConsistentCopy("jex_tweaks/tweaks.txt", 1, 5, "t_Zeta = 6\n", 12345);
    TempWorkingDir::writeFile("tweaks_extension.txt", "t_shared = 2\nt_Ext = ON\nnot a tweak line\n");
    runAgent();
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.path() / "test_appdata"));
    std::vector<std::string> listing;
    const std::string log = currentLog();
    const std::regex control(",Control,[^,]*,[^,]*,[^,]*,[^,]*,([^\n]*)\n");
    for (std::sregex_iterator i(log.begin(), log.end(), control), end; i != end; ++i)
        listing.push_back((*i)[1]);
    EXPECT_EQ((std::vector<std::string>{"t_alpha=\"base\"", "t_Ext=1", "t_FileLoggerCompressOnRotate=1",
                                        "t_FileLoggerEnabled=1", "t_qlogMaxFiles=7",
                                        "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=80000",
                                        "t_requesterEventWaitForThawStartTimeoutMsec=9500",
                                        "t_requesterQuiescedEventWaitTimeoutMsec=72000",
                                        "t_runnerEventFreezeCompleteTimeoutMsec=75000",
                                        "t_runnerEventThawCompleteTimeoutMsec=15000", "t_shared=2",
                                        "t_WaitAsyncTimeoutMsec=62000", "t_Zeta=5"}),
              listing);
}

// Shield mode on: the run still ends as without it. The file log clients'
// allocations start MemShield's active object, whose keepalive starts the
// dead-lock checker.
TEST_F(AgentFiles, ShieldModeRunEndsAsBeforeWithItsActiveObjectAndCheckerStarted) {
    TempWorkingDir::writeFile("tweaks_extension.txt", "t_enableMemshield = 1\n");
    runAgent();
    for (const std::string& log : {mainLog(), currentLog()})
        for (const char* expected : {"ThreadWrapper of type MemShieldAO internalId=",
                                     "ThreadWrapper of type class DeadLockCheckerManager internalId="})
            EXPECT_NE(std::string::npos, log.find(expected)) << expected;
}
} // namespace
#endif
