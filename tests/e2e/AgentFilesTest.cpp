// The agent executable as its caller and its operator meet it: its standard
// output byte for byte and its full exit code, the files of a run (the two
// logs and the run record under <common application data>\Orvel\logs, the
// tweak files it reads from its working directory) and its version resource.
#ifdef _WIN32
#include "support/AgentRun.h"

#include <windows.h>

#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {
// The agent's standard output is a text-mode stream: "\r\n" on the wire.
const std::string kUsage = "Usage: OrvelVssAgent.exe <local URL> <local port> <peer URL> <peer port> <tag> "
                           "[keyword=value ...]\r\n";

TEST(AgentCommandLine, PrintsExactlyTheseLinesAndEndsWithThisCode) {
    const std::tuple<std::vector<std::wstring>, std::string, int> rows[] = {
        {{}, kUsage, 1},
        {{L"a", L"b", L"c", L"d", L""}, kUsage, 1},
        // clang-format off
        {{L"a", L"b", L"c", L"d", L"t", L"volumes"}, "volumes is not in keyword=value format\r\n" + kUsage, 1},
        {{L"a", L"b", L"c", L"d", L"t", L"Volumes=x"},
         "Keyword is not recognized: Volumes\r\nAllowed keywords: volumes,backupType,\r\n" + kUsage, 1},
        // -GUI counts only as the first argument.
        {{L"a", L"b", L"c", L"d", L"t", L"-GUI"}, "-GUI is not in keyword=value format\r\n" + kUsage, 1},
        // A backup type that is no number (or out of range: Stoul32's unit rows) ends as a crash.
        {{L"a", L"b", L"c", L"d", L"t", L"backupType=x"}, "", -1004},
        // clang-format on
    };
    for (const auto& [arguments, output, exitCode] : rows) {
        ChildResult result = ChildProcess::run(program(L"OrvelVssAgent.exe"), arguments);
        EXPECT_EQ(output, result.output) << (arguments.empty() ? L"" : arguments.back());
        EXPECT_EQ(exitCode, result.exitCodeSigned()) << output;
    }
}

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

// One run that ends with a usage error, with both tweak files and shield mode
// on, the extension's last line cut short. Its Error record flushes both logs; the run record gets one line,
// with the version from the same place as the resource's, and no marker is left. The tweak listing in the log
// shows what won: the newest valid copy of the base set, then the extension file; code defaults fill only the
// names no file set. Shield mode changes nothing of the run: the file log clients' allocations start
// MemShield's active object, whose keepalive starts the dead-lock checker.
TEST(AgentFiles, UsageErrorRunLeavesItsLogsRecordLineAndTweakListing) {
    const std::string logs = agentLogs();
    DeleteFileA((logs + "log.txt").c_str());
    clearRunRecord();
    TempWorkingDir dir;
    // Slot 1 is newer but its checksum is wrong: slot 0 is the base set.
    TempWorkingDir::writeConsistentCopy("jex_tweaks/tweaks.txt", 0, 4,
                                        "t_Zeta = 5\nt_alpha = \"base\" ; a comment\nt_Shared = 1\n"
                                        "t_qlogMaxFiles = 0x7\n");
    TempWorkingDir::writeConsistentCopy("jex_tweaks/tweaks.txt", 1, 5, "t_Zeta = 6\n", 12345);
    TempWorkingDir::writeFile(
        "tweaks_extension.txt",
        "t_shared = 2\nt_Ext = ON\nnot a tweak line\nt_enableMemshield = 1\nt_FileLoggerEnab");
    ChildResult result =
        ChildProcess::run(program(L"OrvelVssAgent.exe"), {}, {.workingDirectory = dir.path().wstring()});
    ASSERT_EQ(1, result.exitCodeSigned()) << result.output;

    for (const char* file : {"log.txt", "current.log.txt"}) {
        const std::string log = TempWorkingDir::readFile(logs + file);
        EXPECT_TRUE(
            std::regex_search(log, std::regex(",Error,\\d+,NON,,wmain,ArgumentsParser failed ret=1 \n")))
            << log;
        for (const char* expected : {"ThreadWrapper of type MemShieldAO internalId=",
                                     "ThreadWrapper of type class DeadLockCheckerManager internalId="})
            EXPECT_NE(std::string::npos, log.find(expected)) << expected;
    }
    ASSERT_EQ(1u, runRecordLines().size());
    expectRecordHolds(lastRunRecord(), R"({"outcome":"usage","agent":")" ORVEL_AGENT_VERSION
                                       R"(","exit":1,"status":null,"args":{}})");
    EXPECT_TRUE(runMarkerFiles().empty());

    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "test_appdata"));
    std::vector<std::string> listing;
    for (const LogRecord& record : currentRun())
        if (record.level == "Control")
            listing.push_back(record.message);
    EXPECT_EQ((std::vector<std::string>{"t_alpha=\"base\"", "t_enableMemshield=1", "t_Ext=1",
                                        "t_FileLoggerCompressOnRotate=1", "t_FileLoggerEnabled=1",
                                        "t_qlogMaxFiles=7",
                                        "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=80000",
                                        "t_requesterEventWaitForThawStartTimeoutMsec=9500",
                                        "t_requesterQuiescedEventWaitTimeoutMsec=72000",
                                        "t_runnerEventFreezeCompleteTimeoutMsec=75000",
                                        "t_runnerEventThawCompleteTimeoutMsec=15000", "t_shared=2",
                                        "t_WaitAsyncTimeoutMsec=62000", "t_Zeta=5"}),
              listing);
}
} // namespace
#endif
