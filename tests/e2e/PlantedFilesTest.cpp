// Whatever is left in the agent's folder under a marker's name, and a folder
// someone else created with write access for everyone, stops, fakes or
// changes no run: each planted state is followed by a usage error and an
// externally initiated run through the runner, which end as on a clean
// machine.
#ifdef _WIN32
#include "support/AgentRun.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <functional>
#include <string>

namespace {
const char kUsageStart[] = "Usage: OrvelVssAgent.exe <local URL>";
const std::string kStart = "2026-12-07T00:05:09.007Z";

std::string markerPath(const std::string& run) {
    return agentLogs() + "run-" + run + ".inprogress";
}
std::string markerText(const std::string& pid) {
    return "run=a1b2\npid=" + pid + "\ncreated=1\nstart=" + kStart + "\n";
}
// Older than a live run's marker could be.
void makeOld(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    FILETIME old = {0, 0x01d00000}; // 2014
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &old));
    CloseHandle(file);
}
size_t markersLeft() {
    size_t count = 0;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((agentLogs() + "run-*.inprogress").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do
        ++count;
    while (FindNextFileA(find, &found));
    FindClose(find);
    return count;
}

size_t count(const std::string& text, const std::string& piece) {
    size_t found = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++found;
    return found;
}

struct Plant {
    const char* name;
    std::function<void()> plant;
    // What the record of the first run after it says.
    const char* markerScan;
    size_t unfinishedListed;
    size_t markersLeftAfter;
};

class PlantedFiles : public AgentRunTest {
protected:
    void SetUp() override {
        AgentRunTest::SetUp();
        DeleteFileA((agentLogs() + "runs.jsonl").c_str());
    }
    void TearDown() override {
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((agentLogs() + "run-*.inprogress").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::string path = agentLogs().substr(0, agentLogs().rfind('\\') + 1) + found.cFileName;
                EXPECT_TRUE((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                                ? RemoveDirectoryA(path.c_str())
                                : DeleteFileA(path.c_str()))
                    << path;
            } while (FindNextFileA(find, &found));
            FindClose(find);
        }
        AgentRunTest::TearDown();
    }
    // A usage error, then an externally initiated run through the runner.
    void expectRunsAsOnACleanMachine(const char* row) {
        ChildResult usage = runAgent({});
        EXPECT_EQ(1, usage.exitCodeSigned()) << row << usage.output;
        EXPECT_EQ(0u, usage.output.find(kUsageStart)) << row << usage.output;
        tweaks();
        ChildResult runner = runRunner({});
        EXPECT_EQ(0, runner.exitCodeSigned()) << row << runner.output;
        EXPECT_NE(std::string::npos, runner.output.find(" final_status=0 ")) << row << runner.output;
    }
};

TEST_F(PlantedFiles, NothingUnderAMarkersNameStopsOrChangesARun) {
    const std::string big(6 * 1024 * 1024, 'x');
    const Plant plants[] = {
        {"pid out of range",
         [] { TempWorkingDir::writeFile(markerPath("x1"), markerText("9999999999999999999")); },
         "\"dropped\":0", 0, 1},
        {"pid negative", [] { TempWorkingDir::writeFile(markerPath("x1"), markerText("-1")); },
         "\"dropped\":0", 0, 1},
        {"binary junk, a day old",
         [] {
             TempWorkingDir::writeFile(markerPath("x1"), std::string("\0\xff\nrun=\0\npid=1\x01", 14));
             makeOld(markerPath("x1"));
         },
         "\"dropped\":1", 0, 0},
        {"several MB, a day old",
         [&big] {
             TempWorkingDir::writeFile(markerPath("x1"), markerText("1") + big);
             makeOld(markerPath("x1"));
         },
         "\"dropped\":1", 0, 0},
        {"a folder", [] { ASSERT_TRUE(CreateDirectoryA(markerPath("x1").c_str(), nullptr)); },
         "\"dropped\":0", 0, 1},
        // Runs of processes that are gone: each reported once and removed;
        // the record lists a few and counts the rest.
        {"two thousand stale markers",
         [] {
             for (int i = 0; i < 2000; ++i)
                 TempWorkingDir::writeFile(markerPath("a" + std::to_string(i)), markerText("4294967295"));
         },
         "\"unfinishedNotListed\":1984,\"dropped\":0,\"cut\":false", 16, 0},
    };
    for (const Plant& row : plants) {
        SCOPED_TRACE(row.name);
        row.plant();
        expectRunsAsOnACleanMachine(row.name);
        rowDone(row.name);
        const std::vector<std::string> lines = runRecordLines();
        ASSERT_EQ(2u, lines.size());
        const std::string& first = lines[0];
        EXPECT_NE(std::string::npos, first.find(row.markerScan)) << first;
        EXPECT_EQ(row.unfinishedListed, count(first, "\"lastAliveStampPresent\":")) << first;
        EXPECT_NE(std::string::npos, first.find("\"recordNotes\":[]}")) << first;
        EXPECT_EQ(row.markersLeftAfter, markersLeft());
        TearDown();
        SetUp();
    }
}

// Under Wine a folder's list is kept as mode bits: what reads back is whether
// Everyone may still write (the exact list is checked where it is built).
ACCESS_MASK everyoneMask(const std::string& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                   nullptr, nullptr, &dacl, nullptr, &descriptor));
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(everyone);
    CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size);
    ACCESS_MASK mask = 0;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(everyone, &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart))
            mask |= static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask;
    }
    LocalFree(descriptor);
    return mask;
}

TEST_F(PlantedFiles, AFolderWritableByEveryoneIsTakenOverByOneRun) {
    const std::string folder = agentLogs().substr(0, agentLogs().rfind("\\logs\\"));
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                     &open, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(open, &present, &dacl, &defaulted);
    ASSERT_EQ(ERROR_SUCCESS,
              SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr));
    LocalFree(open);
    ASSERT_NE(0u, everyoneMask(folder) & FILE_WRITE_DATA);

    EXPECT_EQ(1, runAgent({}).exitCodeSigned());
    EXPECT_EQ(0u, everyoneMask(folder) & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC));
    EXPECT_NE(0u, everyoneMask(folder) & FILE_READ_DATA) << "the user group may still read";
    EXPECT_NE(std::string::npos, runRecordLines().back().find("\"recordNotes\":[]}"));
}
} // namespace
#endif
