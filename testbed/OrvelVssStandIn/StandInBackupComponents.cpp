// vssapi.dll (test stand-in): the shadow-copy service as the agent's VSS
// requester meets it, loaded in place of Wine's stub with
// WINEDLLOVERRIDES=vssapi=n. It serves the documented IVssBackupComponents
// calls of a backup, plays the companion provider's freeze through the named
// events, injects the faults the configuration (StandInConfig.cpp) asks for
// and records every call (StandInRecord.h, StandInProvider.cpp).
//
// Record lines of the calls, besides the common fields (hr is what the call
// returned; injected=1 when the configuration made it fail):
//   call=CreateVssBackupComponentsInternal config=<path|(defaults)> [config_error=<why>] hr=
//   call=InitializeForBackup xml=(null)|<n chars> hr=
//   call=SetBackupState select=0|1 bootable=0|1 type=<n> partial=0|1 hr=
//   call=GatherWriterMetadata|PrepareForBackup|DoSnapshotSet|BackupComplete|GatherWriterStatus hr=
//       (DoSnapshotSet adds volumes=<n>)
//   call=StartSnapshotSet set=<{GUID}> hr=
//   call=AddToSnapshotSet volume=<name> provider=<{GUID}> [snapshot=<{GUID}>] hr=
//   call=GetWriterStatusCount count=<n> hr=
//   call=GetWriterStatus index=<i> [name= state= failure= writer= instance=] hr=
//   call=FreeWriterStatus|AbortBackup hr=
//   call=Release refs=<n left>
//   call=<any other method> hr=0x80004001 (E_NOTIMPL)
// and of the asynchronous operations (op names the method that returned it):
//   async=<op> status=<hr> [outcome=<hr>]   completed (outcome: what the work came to when
//                                           the configuration replaced it)
//   async=<op> status=never outcome=<hr>    the work ended but the operation never completes
//   call=Wait op= ms=<n|INFINITE> waited_ms=<n> hr= [timeout=1]
//   call=QueryStatus op= status=<hr> hr=
//   call=Cancel op= hr=      call=Release op= refs=<n left>
#include "StandInAsync.h"
#include "StandInConfig.h"
#include "StandInProvider.h"
#include "StandInRecord.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <vsbackup.h>
#include <vsserror.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {
std::atomic<unsigned> g_sessions(0);

class BackupComponents final : public IVssBackupComponents {
public:
    BackupComponents(unsigned session, std::shared_ptr<const StandInConfig> config)
        : m_session(session), m_config(std::move(config)) {}

    // ---- IUnknown ----
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        if (!IsEqualIID(iid, __uuidof(IUnknown)) && !IsEqualIID(iid, __uuidof(IVssBackupComponents))) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<IVssBackupComponents*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG refs = InterlockedDecrement(&m_refs);
        RecordLine(m_session)
            .field("call", "Release")
            .number("refs", static_cast<unsigned long long>(refs))
            .write();
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }

    // ---- What a backup calls ----
    HRESULT STDMETHODCALLTYPE InitializeForBackup(BSTR xml) override {
        Call call(*this, "InitializeForBackup");
        call.record().field("xml", xml == nullptr ? "(null)" : std::to_string(SysStringLen(xml)) + " chars");
        if (!call.proceeds())
            return call.finish();
        if (m_initialized)
            return call.finish(VSS_E_BAD_STATE);
        m_initialized = true;
        return call.finish(S_OK);
    }

    HRESULT STDMETHODCALLTYPE SetBackupState(boolean selectComponents, boolean bootableSystemState,
                                             VSS_BACKUP_TYPE type, boolean partialFileSupport) override {
        Call call(*this, "SetBackupState");
        call.record()
            .number("select", selectComponents)
            .number("bootable", bootableSystemState)
            .number("type", static_cast<unsigned long long>(static_cast<unsigned>(type)))
            .number("partial", partialFileSupport);
        if (!call.proceeds())
            return call.finish();
        return call.finish(m_initialized ? S_OK : VSS_E_BAD_STATE);
    }

    HRESULT STDMETHODCALLTYPE GatherWriterMetadata(IVssAsync** async) override {
        Call call(*this, "GatherWriterMetadata");
        if (!call.proceeds())
            return call.finish();
        return asyncCall(call, async, m_initialized, nullptr);
    }

    HRESULT STDMETHODCALLTYPE PrepareForBackup(IVssAsync** async) override {
        Call call(*this, "PrepareForBackup");
        if (!call.proceeds())
            return call.finish();
        return asyncCall(call, async, m_initialized, nullptr, &m_prepare);
    }

    HRESULT STDMETHODCALLTYPE StartSnapshotSet(VSS_ID* setId) override {
        Call call(*this, "StartSnapshotSet");
        if (!call.proceeds())
            return call.finish();
        if (setId == nullptr)
            return call.finish(E_INVALIDARG);
        if (!m_initialized)
            return call.finish(VSS_E_BAD_STATE);
        if (m_setStarted && !m_snapshotSetDone)
            return call.finish(VSS_E_SNAPSHOT_SET_IN_PROGRESS);
        if (FAILED(CoCreateGuid(&m_setId)))
            return call.finish(E_UNEXPECTED);
        m_setStarted = true;
        m_snapshotSetDone = false;
        m_volumes.clear();
        *setId = m_setId;
        call.record().guid("set", m_setId);
        return call.finish(S_OK);
    }

    HRESULT STDMETHODCALLTYPE AddToSnapshotSet(VSS_PWSZ volume, VSS_ID providerId,
                                               VSS_ID* snapshotId) override {
        Call call(*this, "AddToSnapshotSet");
        call.record().text("volume", volume).guid("provider", providerId);
        if (!call.proceeds())
            return call.finish();
        if (volume == nullptr || snapshotId == nullptr)
            return call.finish(E_INVALIDARG);
        if (!m_setStarted || m_snapshotSetDone)
            return call.finish(VSS_E_BAD_STATE);
        HRESULT refused = S_OK;
        if (m_config->refusalFor(volume, refused))
            return call.finish(refused);
        for (const std::wstring& added : m_volumes)
            if (_wcsicmp(added.c_str(), volume) == 0)
                return call.finish(VSS_E_OBJECT_ALREADY_EXISTS);
        if (FAILED(CoCreateGuid(snapshotId)))
            return call.finish(E_UNEXPECTED);
        m_volumes.push_back(volume);
        call.record().guid("snapshot", *snapshotId);
        return call.finish(S_OK);
    }

    HRESULT STDMETHODCALLTYPE DoSnapshotSet(IVssAsync** async) override {
        Call call(*this, "DoSnapshotSet");
        call.record().number("volumes", m_volumes.size());
        if (!call.proceeds())
            return call.finish();
        // As documented: only after a started set and a completed preparation, and once per set.
        const bool ready = m_setStarted && !m_snapshotSetDone && m_prepare &&
                           SUCCEEDED(m_prepare->status()) && m_prepare->status() != VSS_S_ASYNC_PENDING;
        std::shared_ptr<const StandInConfig> config = m_config;
        const unsigned session = m_session;
        HRESULT hr =
            asyncCall(call, async, ready, [config, session] { return playProviderCommit(*config, session); });
        if (SUCCEEDED(hr))
            m_snapshotSetDone = true;
        return hr;
    }

    HRESULT STDMETHODCALLTYPE BackupComplete(IVssAsync** async) override {
        Call call(*this, "BackupComplete");
        if (!call.proceeds())
            return call.finish();
        return asyncCall(call, async, m_snapshotSetDone, nullptr);
    }

    HRESULT STDMETHODCALLTYPE AbortBackup() override {
        Call call(*this, "AbortBackup");
        if (!call.proceeds())
            return call.finish();
        return call.finish(m_initialized ? S_OK : VSS_E_BAD_STATE);
    }

    HRESULT STDMETHODCALLTYPE GatherWriterStatus(IVssAsync** async) override {
        Call call(*this, "GatherWriterStatus");
        if (!call.proceeds())
            return call.finish();
        return asyncCall(call, async, m_initialized, nullptr, &m_writerStatus);
    }

    HRESULT STDMETHODCALLTYPE GetWriterStatusCount(UINT* count) override {
        Call call(*this, "GetWriterStatusCount");
        if (!call.proceeds())
            return call.finish();
        if (count == nullptr)
            return call.finish(E_INVALIDARG);
        if (!writerStatusGathered())
            return call.finish(VSS_E_BAD_STATE);
        *count = static_cast<UINT>(m_config->writers.size());
        call.record().number("count", *count);
        return call.finish(S_OK);
    }

    HRESULT STDMETHODCALLTYPE GetWriterStatus(UINT index, VSS_ID* instanceId, VSS_ID* writerId, BSTR* name,
                                              VSS_WRITER_STATE* state, HRESULT* failure) override {
        Call call(*this, "GetWriterStatus");
        call.record().number("index", index);
        if (!call.proceeds())
            return call.finish();
        if (instanceId == nullptr || writerId == nullptr || name == nullptr || state == nullptr ||
            failure == nullptr || index >= m_config->writers.size())
            return call.finish(E_INVALIDARG);
        if (!writerStatusGathered())
            return call.finish(VSS_E_BAD_STATE);
        const WriterSpec& writer = m_config->writers[index];
        *name = SysAllocString(writer.name.c_str());
        if (*name == nullptr)
            return call.finish(E_OUTOFMEMORY);
        *instanceId = writer.instanceId;
        *writerId = writer.writerId;
        *state = writer.state;
        *failure = writer.failure;
        call.record()
            .text("name", writer.name.c_str())
            .number("state", static_cast<unsigned>(writer.state))
            .hr("failure", writer.failure)
            .guid("writer", writer.writerId)
            .guid("instance", writer.instanceId);
        return call.finish(S_OK);
    }

    HRESULT STDMETHODCALLTYPE FreeWriterStatus() override {
        Call call(*this, "FreeWriterStatus");
        if (!call.proceeds())
            return call.finish();
        m_writerStatus.reset();
        return call.finish(S_OK);
    }

    // ---- Not part of the agent's backup: recorded and refused ----
#define STANDIN_NOT_IMPLEMENTED(name, parameters)                                                            \
    HRESULT STDMETHODCALLTYPE name parameters override {                                                     \
        return notImplemented(#name);                                                                        \
    }

    STANDIN_NOT_IMPLEMENTED(GetWriterComponentsCount, (UINT*))
    STANDIN_NOT_IMPLEMENTED(GetWriterComponents, (UINT, IVssWriterComponentsExt**))
    STANDIN_NOT_IMPLEMENTED(InitializeForRestore, (BSTR))
    STANDIN_NOT_IMPLEMENTED(SetRestoreState, (VSS_RESTORE_TYPE))
    STANDIN_NOT_IMPLEMENTED(GetWriterMetadataCount, (UINT*))
    STANDIN_NOT_IMPLEMENTED(GetWriterMetadata, (UINT, VSS_ID*, IVssExamineWriterMetadata**))
    STANDIN_NOT_IMPLEMENTED(FreeWriterMetadata, ())
    STANDIN_NOT_IMPLEMENTED(AddComponent, (VSS_ID, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR))
    STANDIN_NOT_IMPLEMENTED(SetBackupSucceeded,
                            (VSS_ID, VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, boolean))
    STANDIN_NOT_IMPLEMENTED(SetBackupOptions, (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR))
    STANDIN_NOT_IMPLEMENTED(SetSelectedForRestore, (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, boolean))
    STANDIN_NOT_IMPLEMENTED(SetRestoreOptions, (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR))
    STANDIN_NOT_IMPLEMENTED(SetAdditionalRestores, (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, boolean))
    STANDIN_NOT_IMPLEMENTED(SetPreviousBackupStamp, (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR))
    STANDIN_NOT_IMPLEMENTED(SaveAsXML, (BSTR*))
    STANDIN_NOT_IMPLEMENTED(AddAlternativeLocationMapping, (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR,
                                                            LPCWSTR, LPCWSTR, boolean, LPCWSTR))
    STANDIN_NOT_IMPLEMENTED(AddRestoreSubcomponent,
                            (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, boolean))
    STANDIN_NOT_IMPLEMENTED(SetFileRestoreStatus,
                            (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, VSS_FILE_RESTORE_STATUS))
    STANDIN_NOT_IMPLEMENTED(AddNewTarget, (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR,
                                           boolean, LPCWSTR))
    STANDIN_NOT_IMPLEMENTED(SetRangesFilePath, (VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, UINT, LPCWSTR))
    STANDIN_NOT_IMPLEMENTED(PreRestore, (IVssAsync**))
    STANDIN_NOT_IMPLEMENTED(PostRestore, (IVssAsync**))
    STANDIN_NOT_IMPLEMENTED(SetContext, (LONG))
    STANDIN_NOT_IMPLEMENTED(DeleteSnapshots, (VSS_ID, VSS_OBJECT_TYPE, WINBOOL, LONG*, VSS_ID*))
    STANDIN_NOT_IMPLEMENTED(ImportSnapshots, (IVssAsync**))
    STANDIN_NOT_IMPLEMENTED(BreakSnapshotSet, (VSS_ID))
    STANDIN_NOT_IMPLEMENTED(GetSnapshotProperties, (VSS_ID, VSS_SNAPSHOT_PROP*))
    STANDIN_NOT_IMPLEMENTED(Query, (VSS_ID, VSS_OBJECT_TYPE, VSS_OBJECT_TYPE, IVssEnumObject**))
    STANDIN_NOT_IMPLEMENTED(IsVolumeSupported, (VSS_ID, VSS_PWSZ, WINBOOL*))
    STANDIN_NOT_IMPLEMENTED(DisableWriterClasses, (const VSS_ID*, UINT))
    STANDIN_NOT_IMPLEMENTED(EnableWriterClasses, (const VSS_ID*, UINT))
    STANDIN_NOT_IMPLEMENTED(DisableWriterInstances, (const VSS_ID*, UINT))
    STANDIN_NOT_IMPLEMENTED(ExposeSnapshot, (VSS_ID, VSS_PWSZ, LONG, VSS_PWSZ, VSS_PWSZ*))
    STANDIN_NOT_IMPLEMENTED(RevertToSnapshot, (VSS_ID, WINBOOL))
    STANDIN_NOT_IMPLEMENTED(QueryRevertStatus, (VSS_PWSZ, IVssAsync**))
#undef STANDIN_NOT_IMPLEMENTED

private:
    // One call on record: counts it, looks up an injected failure, and writes
    // its line with the result it returns.
    class Call {
    public:
        Call(BackupComponents& owner, const char* method)
            : m_method(method), m_number(++owner.m_calls[method]), m_record(owner.m_session) {
            m_record.field("call", method);
            m_injected = owner.m_config->failureFor(method, m_number, owner.m_session, m_injectedHr);
        }
        const std::string& method() const { return m_method; }
        unsigned number() const { return m_number; }
        RecordLine& record() { return m_record; }
        // false: the configuration made this call fail; it does nothing else.
        bool proceeds() const { return !m_injected; }
        HRESULT finish(HRESULT hr = S_OK) {
            if (m_injected) {
                m_record.hr("hr", m_injectedHr).field("injected", "1").write();
                return m_injectedHr;
            }
            m_record.hr("hr", hr).write();
            return hr;
        }

    private:
        const std::string m_method;
        const unsigned m_number;
        RecordLine m_record;
        bool m_injected = false;
        HRESULT m_injectedHr = S_OK;
    };

    // Hands out an asynchronous operation when the call may go ahead in the
    // present state, and starts it once the call is on record.
    HRESULT asyncCall(Call& call, IVssAsync** async, bool allowed, std::function<HRESULT()> work,
                      std::shared_ptr<AsyncState>* keep = nullptr) {
        if (async == nullptr)
            return call.finish(E_INVALIDARG);
        *async = nullptr;
        if (!allowed)
            return call.finish(VSS_E_BAD_STATE);
        auto state = std::make_shared<AsyncState>(call.method(), m_session);
        if (!state->valid())
            return call.finish(E_OUTOFMEMORY);
        const AsyncPlan plan = m_config->asyncPlanFor(call.method(), call.number(), m_session);
        *async = newAsyncObject(state, plan, *m_config);
        if (keep != nullptr)
            *keep = state;
        HRESULT hr = call.finish(S_OK);
        launchAsync(state, plan, std::move(work));
        return hr;
    }

    bool writerStatusGathered() const {
        if (!m_writerStatus)
            return false;
        HRESULT status = m_writerStatus->status();
        return SUCCEEDED(status) && status != VSS_S_ASYNC_PENDING && status != VSS_S_ASYNC_CANCELLED;
    }

    HRESULT notImplemented(const char* method) {
        Call call(*this, method);
        return call.finish(E_NOTIMPL);
    }

    LONG m_refs = 1;
    const unsigned m_session;
    const std::shared_ptr<const StandInConfig> m_config;
    std::map<std::string, unsigned> m_calls;
    bool m_initialized = false;
    bool m_setStarted = false;
    bool m_snapshotSetDone = false;
    GUID m_setId = {};
    std::vector<std::wstring> m_volumes;
    std::shared_ptr<AsyncState> m_prepare;
    std::shared_ptr<AsyncState> m_writerStatus; // of the last GatherWriterStatus, until freed
};
} // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    CreateVssBackupComponentsInternal(IVssBackupComponents** backup) {
    const unsigned session = ++g_sessions;
    auto config = std::make_shared<StandInConfig>();
    std::string source, error;
    RecordLine record(session);
    record.field("call", "CreateVssBackupComponentsInternal");
    const bool loaded = loadStandInConfig(*config, source, error);
    record.field("config", source);
    HRESULT hr = S_OK;
    if (!loaded) {
        // A configuration the test did not mean must not pass for a fault it meant.
        record.field("config_error", error);
        hr = E_INVALIDARG;
    } else if (config->failureFor("CreateVssBackupComponentsInternal", 1, session, hr)) {
        record.field("injected", "1");
    } else if (backup == nullptr) {
        hr = E_INVALIDARG;
    } else {
        *backup = new BackupComponents(session, std::move(config));
    }
    if (FAILED(hr) && backup != nullptr)
        *backup = nullptr;
    record.hr("hr", hr).write();
    return hr;
}
