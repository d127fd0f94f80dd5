// Every way the requester's call sequence can fail, against a scripted
// shadow-copy service: what is logged at which level, whether the backup is
// aborted, what DoSnapshot returns, and that every reference is released.
// COM itself is the real one; whole sessions run end to end.
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

protected:
    HRESULT createBackupComponents(IVssBackupComponents** components) override {
        return m_components.create(components);
    }
    std::vector<std::wstring> getVolumeList() override { return m_volumes; }

private:
    FakeBackupComponents& m_components;
    std::vector<std::wstring> m_volumes;
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

const std::wstring kVolumes[] = {L"\\\\?\\Volume{11111111-0000-0000-0000-00000000000a}\\"};

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

} // namespace
#endif
