// The agent reads its tweak files from its working directory: the newest
// valid copy of the base set, then the extension file, with code defaults
// filling only the names no file set. The listing in the run's log shows what
// won.
#ifdef _WIN32
#include "support/ChildProcess.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string currentLog() {
    char folder[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, 0x8023, nullptr, 0, folder)))
        return std::string();
    std::ifstream in(std::string(folder) + "\\Orvel\\logs\\OrvelVssAgent.exe.current.log.txt",
                     std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The messages of the Control records: the tweak listing.
std::vector<std::string> tweakListing(const std::string& log) {
    std::vector<std::string> listing;
    std::istringstream lines(log);
    std::string line;
    const std::string marker = ",Control,";
    while (std::getline(lines, line)) {
        if (line.find(marker) == std::string::npos)
            continue;
        size_t pos = 0;
        for (int i = 0; i < 6; ++i)
            pos = line.find(',', pos) + 1;
        listing.push_back(line.substr(pos));
    }
    return listing;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

} // namespace

TEST(AgentTweakFiles, LaterFilesWinAndDefaultsFillTheRest) {
    TempWorkingDir dir;
    // Slot 1 is newer but its checksum is wrong: slot 0 is the base set.
    TempWorkingDir::writeConsistentCopy("jex_tweaks/tweaks.txt", 0, 4,
                                        "t_Zeta = 5\nt_alpha = \"base\" ; a comment\nt_Shared = 1\n"
                                        "t_qlogMaxFiles = 7\nt_WaitAsyncTimeoutMsec = 0x10\n");
    TempWorkingDir::writeConsistentCopy("jex_tweaks/tweaks.txt", 1, 5, "t_Zeta = 6\n", 12345);
    TempWorkingDir::writeFile("tweaks_extension.txt", "t_shared = 2\nt_Ext = ON\nnot a tweak line\n");

    ChildOptions options;
    options.workingDirectory = dir.path().wstring();
    ChildResult result =
        ChildProcess::run(ChildProcess::currentExecutableFolder() + L"OrvelVssAgent.exe", {}, options);
    ASSERT_TRUE(result.started) << result.error;
    ASSERT_EQ(1, result.exitCodeSigned()) << result.output;

    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "test_appdata"));

    std::vector<std::string> listing = tweakListing(currentLog());
    std::vector<std::string> expected = {
        "t_alpha=\"base\"",
        "t_Ext=1",
        "t_FileLoggerCompressOnRotate=1",
        "t_FileLoggerEnabled=1",
        "t_qlogMaxFiles=7",
        "t_requesterEventWaitForSharedMemoryReadTimeoutMsec=80000",
        "t_requesterEventWaitForThawStartTimeoutMsec=9500",
        "t_requesterQuiescedEventWaitTimeoutMsec=72000",
        "t_runnerEventFreezeCompleteTimeoutMsec=75000",
        "t_runnerEventThawCompleteTimeoutMsec=15000",
        "t_shared=2",
        "t_WaitAsyncTimeoutMsec=16",
        "t_Zeta=5",
    };
    EXPECT_EQ(expected, listing);
    EXPECT_TRUE(
        std::is_sorted(listing.begin(), listing.end(),
                       [](const std::string& a, const std::string& b) { return lower(a) < lower(b); }));
}
#endif
