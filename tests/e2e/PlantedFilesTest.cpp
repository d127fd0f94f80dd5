// Whatever is left in the agent's folder under a marker's name, and a folder
// someone else created with write access for everyone, stops, fakes or
// changes no run: each planted state is followed by a usage error and an
// externally initiated run through the runner, which end as on a clean
// machine.
#ifdef _WIN32
#include "support/AgentRun.h"
#include "windows/WinHandle.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>

namespace {
std::string marker(const std::string& run, const std::string& pid, const std::string& tail = "") {
    std::string path = agentLogs() + "run-" + run + ".inprogress";
    TempWorkingDir::writeFile(path, "run=a1b2\npid=" + pid + "\ncreated=1\nstart=2026-12-07T00:05:09.007Z\n" +
                                        tail);
    return path;
}

// Older than a live run's marker could be.
void makeOld(const std::string& path) {
    WinHandle file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME old = {0, 0x01d00000}; // 2014
    EXPECT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &old)) << path;
}

class PlantedFiles : public AgentRunTest {
protected:
    void SetUp() override {
        AgentRunTest::SetUp();
        clearRunRecord();
    }
    void TearDown() override {
        clearRunRecord();
        EXPECT_TRUE(runMarkerFiles().empty());
        AgentRunTest::TearDown();
    }
};

TEST_F(PlantedFiles, NothingUnderAMarkersNameStopsOrChangesARun) {
    // What is planted; how many entries of it the first run drops as junk, how many are markers of
    // runs whose process is gone, and how many no run may touch.
    const std::tuple<const char*, std::function<void()>, size_t, size_t, size_t> plants[] = {
        {"pid out of range", [] { marker("x1", "9999999999999999999"); }, 0, 0, 1},
        {"pid negative", [] { marker("x1", "-1"); }, 0, 0, 1},
        {"binary junk, a day old",
         [] {
             const std::string path = marker("x1", "1");
             TempWorkingDir::writeFile(path, std::string("\0\xff\nrun=\0\npid=1\x01", 14));
             makeOld(path);
         },
         1, 0, 0},
        {"several MB, a day old", [] { makeOld(marker("x1", "1", std::string(6 << 20, 'x'))); }, 1, 0, 0},
        {"a folder",
         [] { ASSERT_TRUE(CreateDirectoryA((agentLogs() + "run-x1.inprogress").c_str(), nullptr)); }, 0, 0,
         1},
        {"two thousand stale markers",
         [] {
             for (int i = 0; i < 2000; ++i)
                 marker("a" + std::to_string(i), "4294967295");
         },
         0, 2000, 0},
    };
    for (const auto& [name, plant, dropped, stale, kept] : plants) {
        SCOPED_TRACE(name);
        plant();
        tweaks();
        // A usage error, then a run through the runner. A run reports each stale marker it removes,
        // listing the first 16 and counting the rest; on a loaded machine its scan's time bound may
        // leave some for the next run, and then its record says the scan was cut.
        size_t before = runMarkerFiles().size(), reported = 0;
        for (const bool runner : {false, true}) {
            const ChildResult result = runner ? runRunner({}) : runAgent({});
            EXPECT_EQ(runner ? 0 : 1, result.exitCodeSigned()) << result.output;
            EXPECT_TRUE(!runner || result.output.find(" final_status=0 ") != std::string::npos)
                << result.output;
            Json record = lastRunRecord();
            const Json& scan = record["markerScan"];
            const size_t after = runMarkerFiles().size(), listed = record["previousRunUnfinished"].size(),
                         counted = scan["unfinishedNotListed"].get<size_t>();
            EXPECT_EQ(runner ? 0 : dropped, scan["dropped"].get<size_t>());
            EXPECT_EQ(before - after, listed + counted + scan["dropped"].get<size_t>());
            EXPECT_EQ(std::min<size_t>(16, listed + counted), listed);
            EXPECT_EQ(after > kept, scan["cut"].get<bool>());
            EXPECT_EQ(Json::array(), record["recordNotes"]);
            reported += listed + counted;
            before = after;
        }
        // Every stale marker was reported once, or is left for a later run.
        EXPECT_EQ(stale, reported + before - kept);
        EXPECT_EQ(2u, runRecordLines().size());
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
    void* ace = nullptr;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i)
        if (GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(everyone, &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart))
            mask |= static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask;
    LocalFree(descriptor);
    return mask;
}

TEST_F(PlantedFiles, AFolderWritableByEveryoneIsTakenOverByOneRun) {
    const std::string folder = logFolder().substr(0, logFolder().rfind('\\'));
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                     &open, nullptr));
    ASSERT_TRUE(SetFileSecurityA(folder.c_str(), DACL_SECURITY_INFORMATION, open));
    LocalFree(open);
    ASSERT_NE(0u, everyoneMask(folder) & FILE_WRITE_DATA);

    EXPECT_EQ(1, runAgent({}).exitCodeSigned());
    EXPECT_EQ(0u, everyoneMask(folder) & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC));
    EXPECT_NE(0u, everyoneMask(folder) & FILE_READ_DATA) << "the user group may still read";
    EXPECT_NE(std::string::npos, runRecordLines().back().find("\"recordNotes\":[]}"));
}
} // namespace
#endif
