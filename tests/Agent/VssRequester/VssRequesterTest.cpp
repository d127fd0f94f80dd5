// The requester's whole call sequence against a scripted shadow-copy service:
// which step fails, what is logged at which level, whether the backup is
// aborted, what DoSnapshot returns, which volumes join the snapshot set, and
// the writer report. COM itself is the real one.
#ifdef _WIN32
#include "VssRequester/VssRequester.h"
#include "Tweaks.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {
const HRESULT kVeto = static_cast<HRESULT>(0x80042306);

// The `occurrence`-th call of `call` answers `value`. `call` is a method of
// the service object ("SetBackupState"), "create" for its creation, or for
// an operation started by a method: "<method>.Wait" and "<method>.QueryStatus"
// (their results), "<method>.status" (the operation's final status) and
// "<method>.null" (the method succeeds without an operation object).
struct Fault {
    std::string call;
    int occurrence = 1;
    HRESULT value = S_OK;
};

struct Writer {
    GUID instanceId;
    GUID writerId;
    std::wstring name;
    u32 state;
    HRESULT failure;
};

class FakeAsync final : public IVssAsync {
public:
    FakeAsync(HRESULT waitResult, HRESULT queryResult, HRESULT status, std::vector<DWORD>& waits, int& live)
        : m_waitResult(waitResult), m_queryResult(queryResult), m_status(status), m_waits(waits),
          m_live(live) {
        ++m_live;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG refs = --m_refs;
        if (refs == 0) {
            --m_live;
            delete this;
        }
        return refs;
    }
    HRESULT STDMETHODCALLTYPE Cancel() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Wait(DWORD milliseconds) override {
        m_waits.push_back(milliseconds);
        return m_waitResult;
    }
    HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT* status, INT*) override {
        *status = m_status;
        return m_queryResult;
    }

private:
    ULONG m_refs = 1;
    HRESULT m_waitResult;
    HRESULT m_queryResult;
    HRESULT m_status;
    std::vector<DWORD>& m_waits;
    int& m_live;
};

// A method the requester has no business calling.
#define ORV_UNEXPECTED(method, ...)                                                                          \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override {                                                 \
        return unexpected(#method);                                                                          \
    }

// Records the calls it receives and answers them from its faults. The test
// owns it; its reference count tells whether the requester released every
// reference it took. A method the requester has no business calling is
// recorded under its name and answers E_NOTIMPL.
class FakeBackupComponents : public IVssBackupComponents {
public:
    explicit FakeBackupComponents(std::vector<Fault> faults, std::vector<Writer> writers = {})
        : m_faults(std::move(faults)), m_writers(std::move(writers)) {}

    HRESULT create(IVssBackupComponents** components) {
        HRESULT result = call("create");
        if (result != S_OK)
            return result;
        AddRef();
        *components = this;
        return S_OK;
    }

    std::vector<std::string> calls; // every method but "create"
    std::vector<std::wstring> addedVolumes;
    std::vector<GUID> addedProviders;
    std::string backupState;
    std::vector<DWORD> waits;
    int liveOperations = 0;
    ULONG refs = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }

    HRESULT STDMETHODCALLTYPE InitializeForBackup(BSTR document) override {
        if (document != nullptr)
            calls.push_back("InitializeForBackup with a document");
        return call("InitializeForBackup");
    }
    HRESULT STDMETHODCALLTYPE SetBackupState(boolean selectComponents, boolean bootableSystemState,
                                             VSS_BACKUP_TYPE type, boolean partialFileSupport) override {
        backupState = "select=" + std::to_string(selectComponents) +
                      " bootable=" + std::to_string(bootableSystemState) + " type=" + std::to_string(type) +
                      " partial=" + std::to_string(partialFileSupport);
        return call("SetBackupState");
    }
    HRESULT STDMETHODCALLTYPE GatherWriterMetadata(IVssAsync** async) override {
        return start("GatherWriterMetadata", async);
    }
    HRESULT STDMETHODCALLTYPE StartSnapshotSet(VSS_ID* id) override {
        *id = GUID_NULL;
        return call("StartSnapshotSet");
    }
    HRESULT STDMETHODCALLTYPE AddToSnapshotSet(VSS_PWSZ volume, VSS_ID provider, VSS_ID* id) override {
        addedVolumes.push_back(volume);
        addedProviders.push_back(provider);
        *id = GUID_NULL;
        return call("AddToSnapshotSet");
    }
    HRESULT STDMETHODCALLTYPE PrepareForBackup(IVssAsync** async) override {
        return start("PrepareForBackup", async);
    }
    HRESULT STDMETHODCALLTYPE DoSnapshotSet(IVssAsync** async) override {
        return start("DoSnapshotSet", async);
    }
    HRESULT STDMETHODCALLTYPE BackupComplete(IVssAsync** async) override {
        return start("BackupComplete", async);
    }
    HRESULT STDMETHODCALLTYPE AbortBackup() override { return call("AbortBackup"); }
    HRESULT STDMETHODCALLTYPE GatherWriterStatus(IVssAsync** async) override {
        return start("GatherWriterStatus", async);
    }
    HRESULT STDMETHODCALLTYPE GetWriterStatusCount(UINT* count) override {
        *count = static_cast<UINT>(m_writers.size());
        return call("GetWriterStatusCount");
    }
    HRESULT STDMETHODCALLTYPE FreeWriterStatus() override { return call("FreeWriterStatus"); }
    HRESULT STDMETHODCALLTYPE GetWriterStatus(UINT index, VSS_ID* instanceId, VSS_ID* writerId, BSTR* name,
                                              VSS_WRITER_STATE* state, HRESULT* failure) override {
        HRESULT result = call("GetWriterStatus");
        if (result != S_OK || index >= m_writers.size())
            return result != S_OK ? result : E_INVALIDARG;
        const Writer& writer = m_writers[index];
        *instanceId = writer.instanceId;
        *writerId = writer.writerId;
        *name = SysAllocString(writer.name.c_str());
        *state = static_cast<VSS_WRITER_STATE>(writer.state);
        *failure = writer.failure;
        return S_OK;
    }

    // Nothing below is part of a backup of this kind.
    ORV_UNEXPECTED(GetWriterComponentsCount, UINT*)
    ORV_UNEXPECTED(GetWriterComponents, UINT, IVssWriterComponentsExt**)
    ORV_UNEXPECTED(InitializeForRestore, BSTR)
    ORV_UNEXPECTED(SetRestoreState, VSS_RESTORE_TYPE)
    ORV_UNEXPECTED(GetWriterMetadataCount, UINT*)
    ORV_UNEXPECTED(GetWriterMetadata, UINT, VSS_ID*, IVssExamineWriterMetadata**)
    ORV_UNEXPECTED(FreeWriterMetadata)
    ORV_UNEXPECTED(AddComponent, VSS_ID, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR)
    ORV_UNEXPECTED(SetBackupSucceeded, VSS_ID, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, boolean)
    ORV_UNEXPECTED(SetBackupOptions, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR)
    ORV_UNEXPECTED(SetSelectedForRestore, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, boolean)
    ORV_UNEXPECTED(SetRestoreOptions, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR)
    ORV_UNEXPECTED(SetAdditionalRestores, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, boolean)
    ORV_UNEXPECTED(SetPreviousBackupStamp, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR)
    ORV_UNEXPECTED(SaveAsXML, BSTR*)
    ORV_UNEXPECTED(AddAlternativeLocationMapping, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR,
                   LPCWSTR, boolean, LPCWSTR)
    ORV_UNEXPECTED(AddRestoreSubcomponent, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR,
                   boolean)
    ORV_UNEXPECTED(SetFileRestoreStatus, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR,
                   VSS_FILE_RESTORE_STATUS)
    ORV_UNEXPECTED(AddNewTarget, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, boolean,
                   LPCWSTR)
    ORV_UNEXPECTED(SetRangesFilePath, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, UINT, LPCWSTR)
    ORV_UNEXPECTED(PreRestore, IVssAsync**)
    ORV_UNEXPECTED(PostRestore, IVssAsync**)
    ORV_UNEXPECTED(SetContext, LONG)
    ORV_UNEXPECTED(DeleteSnapshots, VSS_ID, VSS_OBJECT_TYPE, WINBOOL, LONG*, VSS_ID*)
    ORV_UNEXPECTED(ImportSnapshots, IVssAsync**)
    ORV_UNEXPECTED(BreakSnapshotSet, VSS_ID)
    ORV_UNEXPECTED(GetSnapshotProperties, VSS_ID, VSS_SNAPSHOT_PROP*)
    ORV_UNEXPECTED(Query, VSS_ID, VSS_OBJECT_TYPE, VSS_OBJECT_TYPE, IVssEnumObject**)
    ORV_UNEXPECTED(IsVolumeSupported, VSS_ID, VSS_PWSZ, WINBOOL*)
    ORV_UNEXPECTED(DisableWriterClasses, const VSS_ID*, UINT)
    ORV_UNEXPECTED(EnableWriterClasses, const VSS_ID*, UINT)
    ORV_UNEXPECTED(DisableWriterInstances, const VSS_ID*, UINT)
    ORV_UNEXPECTED(ExposeSnapshot, VSS_ID, VSS_PWSZ, LONG, VSS_PWSZ, VSS_PWSZ*)
    ORV_UNEXPECTED(RevertToSnapshot, VSS_ID, WINBOOL)
    ORV_UNEXPECTED(QueryRevertStatus, VSS_PWSZ, IVssAsync**)

private:
    // The fault's value for this occurrence of `name`, else `otherwise`.
    HRESULT answer(const std::string& name, int occurrence, HRESULT otherwise = S_OK) const {
        for (const Fault& fault : m_faults)
            if (fault.call == name && fault.occurrence == occurrence)
                return fault.value;
        return otherwise;
    }
    HRESULT call(const std::string& name) {
        if (name != "create")
            calls.push_back(name);
        return answer(name, ++m_counts[name]);
    }
    HRESULT start(const std::string& name, IVssAsync** async) {
        *async = nullptr;
        HRESULT result = call(name);
        int occurrence = m_counts[name];
        if (result != S_OK || answer(name + ".null", occurrence) != S_OK)
            return result;
        *async =
            new FakeAsync(answer(name + ".Wait", occurrence), answer(name + ".QueryStatus", occurrence),
                          answer(name + ".status", occurrence, VSS_S_ASYNC_FINISHED), waits, liveOperations);
        return S_OK;
    }
    HRESULT unexpected(const char* name) {
        calls.push_back(std::string("unexpected ") + name);
        return E_NOTIMPL;
    }

    std::vector<Fault> m_faults;
    std::vector<Writer> m_writers;
    std::map<std::string, int> m_counts;
};

class ScriptedRequester : public VssRequester {
public:
    ScriptedRequester(FakeBackupComponents& components, std::vector<std::wstring> volumes)
        : m_components(components), m_volumes(std::move(volumes)) {}

    using VssRequester::gatherWriterStatus;

protected:
    HRESULT createBackupComponents(IVssBackupComponents** components) override {
        return m_components.create(components);
    }
    std::vector<std::wstring> getVolumeList() override { return m_volumes; }

private:
    FakeBackupComponents& m_components;
    std::vector<std::wstring> m_volumes;
};

class VolumeLister : public VssRequester {
public:
    using VssRequester::getVolumeList;
};

// "Level,message" of every record captured so far.
std::vector<std::string> entries() {
    std::vector<std::string> out;
    for (const std::string& record : LogCapture::instance().records()) {
        size_t start = record.find(',') + 1;
        out.push_back(record.substr(start, record.find(',', start) - start) + "," +
                      LogCapture::messageOf(record));
    }
    return out;
}

size_t count(const std::vector<std::string>& all, const std::string& entry) {
    size_t n = 0;
    for (const std::string& e : all)
        n += e == entry;
    return n;
}

size_t countStartingWith(const std::vector<std::string>& all, const std::string& start) {
    size_t n = 0;
    for (const std::string& e : all)
        n += e.compare(0, start.size(), start) == 0;
    return n;
}

// The thread's COM is back where it was before the requester ran.
void expectComUninitialised() {
    EXPECT_EQ(S_OK, CoInitialize(nullptr));
    CoUninitialize();
}

const std::wstring kVolumes[] = {L"\\\\?\\Volume{11111111-0000-0000-0000-00000000000a}\\",
                                 L"\\\\?\\Volume{22222222-0000-0000-0000-00000000000b}\\",
                                 L"\\\\?\\Volume{33333333-0000-0000-0000-00000000000c}\\"};

class VssRequesterTest : public ::testing::Test {
protected:
    void SetUp() override {
        Tweaks::instance()->update("t_WaitAsyncTimeoutMsec", "62000");
        LogCapture::instance().clear();
    }
};

TEST_F(VssRequesterTest, EachFailingStepIsLoggedAbortedAsNeededAndReturned) {
    const struct {
        const char* name;
        Fault fault;
        std::vector<std::string> records; // "Level,message"
        bool aborts;
        i32 result;
    } rows[] = {
        // clang-format off
        {"creating the service object", {"create", 1, HRESULT(0x80004001)},
         {"Error,CreateVssBackupComponents failed with error code 80004001"}, false, i32(0x80004001)},
        {"InitializeForBackup", {"InitializeForBackup", 1, HRESULT(0x80042302)},
         {"Error,InitializeForBackup failed with error code 80042302 (VSS_E_UNEXPECTED) "}, false, i32(0x80042302)},
        {"SetBackupState", {"SetBackupState", 1, E_INVALIDARG},
         {"Error,SetBackupState failed with error code 80070057"}, true, E_INVALIDARG},
        {"GatherWriterMetadata", {"GatherWriterMetadata", 1, HRESULT(0x80042301)},
         {"Error,GatherWriterMetadata failed with error code 80042301 (VSS_E_BAD_STATE) "}, true, i32(0x80042301)},
        {"metadata wait", {"GatherWriterMetadata.Wait", 1, HRESULT(0x80042302)},
         {"Error,pAsync->Wait() failed with error code 80042302 (VSS_E_UNEXPECTED) ", "Error,waitForAsync failed"},
         true, 1},
        {"metadata without an operation", {"GatherWriterMetadata.null", 1, 1},
         {"Info,pAsync is null so not waiting", "Error,waitForAsync failed"}, true, 1},
        {"StartSnapshotSet", {"StartSnapshotSet", 1, HRESULT(0x80042316)},
         {"Error,StartSnapshotSet failed with error code 80042316 (Another shadow copy creation is already in "
          "progress. Please wait a few moments and try again) "}, true, i32(0x80042316)},
        {"PrepareForBackup", {"PrepareForBackup", 1, HRESULT(0x80042312)},
         {"Error,PrepareForBackup failed with error code 80042312 (VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED) "},
         true, i32(0x80042312)},
        {"prepare status unreadable", {"PrepareForBackup.QueryStatus", 1, E_FAIL},
         {"Error,pAsync->QueryStatus() failed with error code 80004005", "Error,waitForAsync failed"}, true, 1},
        {"prepare ends with a writer error", {"PrepareForBackup.status", 1, HRESULT(0x80042315)},
         {"Error,pAsync->QueryStatus() retrieved the error code 80042315 (An error occurred while trying to "
          "contact VSS writers. Check for associated errors in the event log) ", "Error,waitForAsync failed"},
         true, 1},
        {"writer status after prepare", {"GatherWriterStatus", 1, HRESULT(0x80042301)},
         {"Error,GatherWriterStatus failed with error code 80042301 (VSS_E_BAD_STATE) ",
          "Error,gatherWriterStatus failed"}, true, 1},
        {"DoSnapshotSet refused", {"DoSnapshotSet", 1, kVeto},
         {"Error,DoSnapshotSet failed with error code 80042306 (VSS_E_PROVIDER_VETO) "}, true, kVeto},
        {"provider veto while frozen", {"DoSnapshotSet.status", 1, kVeto},
         {"Error,pAsync->QueryStatus() retrieved the error code 80042306 (VSS_E_PROVIDER_VETO) ",
          "Error,waitForAsync failed hr=80042306 ",
          "Error,assumming timeout occured in VSS provider waiting for thaw"}, true, kVeto},
        {"other failure while frozen", {"DoSnapshotSet.status", 1, HRESULT(0x8004230F)},
         {"Error,pAsync->QueryStatus() retrieved the error code 8004230f (VSS_E_UNEXPECTED_PROVIDER_ERROR) ",
          "Error,waitForAsync failed hr=0 "}, true, 1},
        {"snapshot wait", {"DoSnapshotSet.Wait", 1, HRESULT(0x80042302)},
         {"Error,pAsync->Wait() failed with error code 80042302 (VSS_E_UNEXPECTED) ",
          "Error,waitForAsync failed hr=80042302 "}, true, i32(0x80042302)},
        {"writer status wait after the snapshot", {"GatherWriterStatus.Wait", 2, E_FAIL},
         {"Error,pAsync->Wait() failed with error code 80004005", "Error,waitForAsync failed ",
          "Error,gatherWriterStatus failed"}, true, 1},
        {"BackupComplete", {"BackupComplete", 1, HRESULT(0x80042301)},
         {"Error,BackupComplete failed with error code 80042301 (VSS_E_BAD_STATE) "}, true, i32(0x80042301)},
        {"complete wait", {"BackupComplete.Wait", 1, E_FAIL},
         {"Error,pAsync->Wait() failed with error code 80004005", "Error,waitForAsync failed"}, true, 1},
        {"writer status release after complete", {"FreeWriterStatus", 3, E_FAIL},
         {"Error,FreeWriterStatus failed with error code 80004005", "Error,gatherWriterStatus failed"}, true, 1},
        // Any success status ends an operation well, not only "finished".
        {"snapshot operation cancelled", {"DoSnapshotSet.status", 1, VSS_S_ASYNC_CANCELLED},
         {"Info,Releasing backup components"}, false, 0},
        {"nothing fails", {}, {"Info,Releasing backup components"}, false, 0},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture::instance().clear();
        FakeBackupComponents components({row.fault});
        ScriptedRequester requester(components, {kVolumes[0]});
        ArgsRequester args;

        EXPECT_EQ(row.result, requester.DoSnapshot(&args));

        std::vector<std::string> logged = entries();
        size_t errors = 0;
        for (const std::string& record : row.records) {
            EXPECT_EQ(1u, count(logged, record)) << record;
            errors += record.compare(0, 6, "Error,") == 0;
        }
        EXPECT_EQ(errors, countStartingWith(logged, "Error,"));
        EXPECT_EQ(row.aborts ? 1u : 0u, count(logged, "Info,AbortBackup..."));
        std::vector<std::string> calls = components.calls;
        EXPECT_EQ(row.aborts, !calls.empty() && calls.back() == "AbortBackup");
        if (row.aborts)
            calls.pop_back();
        // Nothing after the failing call.
        std::string method = row.result == 0 ? "FreeWriterStatus" : row.fault.call;
        method = method.substr(0, method.find('.'));
        if (method != "create") {
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(method, calls.back());
        } else {
            EXPECT_TRUE(calls.empty());
        }
        bool created = method != "create";
        EXPECT_EQ(created ? 1u : 0u, count(logged, "Info,Releasing backup components"));
        EXPECT_EQ(0u, components.refs);
        EXPECT_EQ(0, components.liveOperations);
        expectComUninitialised();
    }
}

TEST_F(VssRequesterTest, WholeSessionCallsTheServiceInOrderAndWaitsAsTheTweakSays) {
    FakeBackupComponents components({}, {{GUID_NULL, GUID_NULL, L"w", 1, S_OK}});
    ScriptedRequester requester(components, {kVolumes[0], kVolumes[1]});
    ArgsRequester args;
    ASSERT_EQ(0, requester.DoSnapshot(&args));
    // Read anew on every wait: a change between two sessions counts for the next.
    Tweaks::instance()->update("t_WaitAsyncTimeoutMsec", "4321");
    components.calls.clear();
    components.waits.clear();
    LogCapture::instance().clear();
    ASSERT_EQ(0, requester.DoSnapshot(&args));

    const std::vector<std::string> report = {"GatherWriterStatus", "GetWriterStatusCount", "GetWriterStatus",
                                             "FreeWriterStatus"};
    std::vector<std::string> expected = {"InitializeForBackup", "SetBackupState",   "GatherWriterMetadata",
                                         "StartSnapshotSet",    "AddToSnapshotSet", "AddToSnapshotSet",
                                         "PrepareForBackup"};
    expected.insert(expected.end(), report.begin(), report.end());
    expected.push_back("DoSnapshotSet");
    expected.insert(expected.end(), report.begin(), report.end());
    expected.push_back("BackupComplete");
    expected.insert(expected.end(), report.begin(), report.end());
    EXPECT_EQ(expected, components.calls);
    EXPECT_EQ(std::vector<DWORD>(7, 4321), components.waits);
    EXPECT_EQ(7u, count(entries(), "Info,waiting async for: 4321 Msec"));

    std::vector<std::string> steps = {" vssBackupType=5  snapshotVolumesUserVecSize=0 ",
                                      "CoInitialize...",
                                      "CreateVssBackupComponents...",
                                      "InitializeForBackup...",
                                      "SetBackupState...",
                                      "GatherWriterMetadata...",
                                      "StartSnapshotSet...",
                                      "getVolumeList...",
                                      "Add volumes to the shadow set...",
                                      "PrepareForBackup...",
                                      "DoSnapshotSet...",
                                      "BackupComplete...",
                                      "Releasing backup components"};
    std::vector<std::string> logged;
    for (const std::string& message : LogCapture::instance().messages())
        for (const std::string& step : steps)
            if (message == step)
                logged.push_back(message);
    EXPECT_EQ(steps, logged);
    EXPECT_EQ(0u, countStartingWith(entries(), "Error,"));
    EXPECT_EQ(0u, components.refs);
}

TEST_F(VssRequesterTest, VolumesAndBackupTypeFromTheArguments) {
    const struct {
        const char* name;
        std::vector<std::wstring> userVolumes;
        int backupType;
        Fault fault;
        std::vector<int> added; // indexes into kVolumes
        int typeSet;
    } rows[] = {
        // clang-format off
        {"all volumes, copy backup",          {},                     -1, {}, {0, 1, 2}, 5},
        {"a fragment of one path",            {L"{2222"},              2, {}, {1},       2},
        {"two fragments, enumeration order",  {L"{3333", L"{1111"},   -1, {}, {0, 2},    5},
        {"matches nothing",                   {L"D:\\"},             -1, {}, {},        5},
        {"case counts",                       {L"volume{1111"},       -1, {}, {},        5},
        {"empty text is part of every path",  {L""},                   1, {}, {0, 1, 2}, 1},
        {"one volume refused",                {}, -1, {"AddToSnapshotSet", 2, HRESULT(0x8004230E)}, {0, 1, 2}, 5},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture::instance().clear();
        FakeBackupComponents components({row.fault});
        ScriptedRequester requester(components, {kVolumes[0], kVolumes[1], kVolumes[2]});
        ArgsRequester args;
        args.m_volumes = row.userVolumes;
        args.m_backupType = row.backupType;

        // Neither a refused volume nor an empty set fails the session here.
        EXPECT_EQ(0, requester.DoSnapshot(&args));

        EXPECT_EQ("select=0 bootable=1 type=" + std::to_string(row.typeSet) + " partial=0",
                  components.backupState);
        std::vector<std::string> logged = entries();
        EXPECT_EQ(1u, count(logged, "Info, vssBackupType=" + std::to_string(row.typeSet) +
                                        "  snapshotVolumesUserVecSize=" +
                                        std::to_string(row.userVolumes.size()) + " "));
        std::vector<std::wstring> added;
        for (int i = 0; i < 3; ++i) {
            std::string path(kVolumes[i].begin(), kVolumes[i].end());
            bool selected = std::find(row.added.begin(), row.added.end(), i) != row.added.end();
            if (selected)
                added.push_back(kVolumes[i]);
            std::string returned = row.fault.call.empty() || row.fault.occurrence != i + 1 ? "0" : "8004230e";
            EXPECT_EQ(selected ? 1u : 0u,
                      count(logged, "Info,AddToSnapshotSet for volume " + path + " returned " + returned))
                << i;
            EXPECT_EQ(selected ? 0u : 1u, count(logged, "Info,Skipping SnapShotSet for volume: " + path))
                << i;
        }
        EXPECT_EQ(added, components.addedVolumes);
        for (const GUID& provider : components.addedProviders)
            EXPECT_TRUE(IsEqualGUID(VssRequester::kProviderId, provider));
    }
}

TEST_F(VssRequesterTest, WriterReport) {
    const GUID writerId = {0x6A4F1B2C, 0x9D3E, 0x4F50, {0x8A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};
    const GUID instanceId = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
    const std::string ids = " Writer ID: {6A4F1B2C-9D3E-4F50-8A1B-2C3D4E5F6071} Instance ID: "
                            "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";
    const Writer frozen = {instanceId, writerId, L"R\u00e9seau writer", 9, static_cast<HRESULT>(0x800423F2)};
    const Writer stable = {instanceId, writerId, L"Plain", 1, S_OK};
    const Writer odd = {instanceId, writerId, L"", 42, S_OK};
    const std::string counted = "Info,GetWriterStatusCount returned number of writers: ";
    const struct {
        const char* name;
        std::vector<Writer> writers;
        Fault fault;
        std::vector<std::string> records; // those starting "GetWriterStatus", in order
    } rows[] = {
        // clang-format off
        {"no writers", {}, {}, {counted + "0"}},
        {"failed at freeze", {frozen}, {},
         {counted + "1", "Info,GetWriterStatus for writer 0:  WriterName: R\xC3\xA9seau writer .  Status: 9 "
                         "(VSS_WS_FAILED_AT_FREEZE)  Writer Failure code: 800423f2" + ids}},
        {"one writer unreadable", {frozen, stable}, {"GetWriterStatus", 1, HRESULT(0x80042302)},
         {counted + "2", "Error,GetWriterStatus 0 failed with error code 80042302 (VSS_E_UNEXPECTED) ",
          "Info,GetWriterStatus for writer 1:  WriterName: Plain .  Status: 1 (VSS_WS_STABLE)  Writer Failure "
          "code: 0" + ids}},
        {"state without a name", {odd}, {},
         {counted + "1", "Info,GetWriterStatus for writer 0:  WriterName:  .  Status: 42 Writer Failure code: 0" + ids}},
        {"count unreadable", {frozen}, {"GetWriterStatusCount", 1, E_FAIL},
         {"Error,GetWriterStatusCount failed with error code 80004005"}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture::instance().clear();
        FakeBackupComponents components({row.fault}, row.writers);
        // Writer states and unreadable writers are reported, never a failure.
        EXPECT_TRUE(ScriptedRequester::gatherWriterStatus(&components));
        std::vector<std::string> report;
        for (const std::string& entry : entries())
            if (entry.find(",GetWriterStatus") != std::string::npos)
                report.push_back(entry);
        EXPECT_EQ(row.records, report);
        EXPECT_EQ("FreeWriterStatus", components.calls.back());
        EXPECT_EQ(0, components.liveOperations);
    }
}

// S_FALSE: COM was initialised on this thread before; the session does not
// run, and its own initialisation is undone all the same.
TEST_F(VssRequesterTest, ComAlreadyInitialisedOnTheThreadFails) {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    FakeBackupComponents components({});
    ScriptedRequester requester(components, {kVolumes[0]});
    ArgsRequester args;
    EXPECT_EQ(S_FALSE, requester.DoSnapshot(&args));
    CoUninitialize();
    expectComUninitialised();
    std::vector<std::string> logged = entries();
    EXPECT_EQ(1u, count(logged, "Error,CoInitialize failed with error code 1"));
    EXPECT_EQ(0u, count(logged, "Info,CreateVssBackupComponents..."));
    EXPECT_EQ(0u, count(logged, "Info,Releasing backup components"));
    EXPECT_TRUE(components.calls.empty());
}

TEST_F(VssRequesterTest, VolumeListHoldsVolumeGuidPaths) {
    VolumeLister lister;
    std::vector<std::wstring> volumes = lister.getVolumeList();
    ASSERT_FALSE(volumes.empty());
    for (const std::wstring& volume : volumes) {
        EXPECT_EQ(0u, volume.find(L"\\\\?\\Volume{"));
        EXPECT_EQ(49u, volume.size());
        EXPECT_EQ(L"}\\", volume.substr(volume.size() - 2));
    }
    EXPECT_EQ(0u, countStartingWith(entries(), "Error,"));
}
} // namespace
#endif
