#include "VssRequester/VssRequester.h"

#include "AgentCommon/AgentTweaks.h"
#include "AgentCommon/RunRecord.h"
#include "AgentCommon/TextConversion.h"
#include "Log.h"
#include "VssRequester/VssNames.h"
#include "windows/WinHandle.h"

#include <functional>
#include <ios>
#include <utility>

const GUID VssRequester::kProviderId = {
    0x4CA6E6D4, 0x15AF, 0x432D, {0xBF, 0x02, 0xA6, 0x33, 0xB6, 0xF7, 0x1A, 0xCE}};

namespace {
// A volume GUID path with its backslash is 49 units; the platform's limit is
// what the documented examples use.
const DWORD kVolumeNameUnits = MAX_PATH;

// What the first session's record needs from the steps, kept where the
// steps already are (the two sessions never overlap): the code the latest
// Error record named, and the operation whose writer report is gathered.
HRESULT s_loggedCode = S_OK;
const char* s_reportPhase = "";

bool firstSession() {
    return !RunRecord::current().firstSessionDone;
}

// The first failing step of the first session, with the code its records
// named: a wait's failure leaves only 1 as the session's result.
void recordFailure(const std::string& step, HRESULT logged) {
    RunRecord& record = RunRecord::current();
    if (!firstSession() || !record.failedStep.empty())
        return;
    record.failedStep = step;
    if (logged != S_OK)
        record.failedCode = static_cast<i32>(logged);
}

std::string guidText(const GUID& guid) {
    CoTaskMemText text;
    StringFromCLSID(guid, text.out());
    return VssNames::lowByteText(text.get());
}
} // namespace

i32 VssRequester::DoSnapshot(ArgsRequester* args) {
    // Every record of the session carries this label, whichever step makes it.
    const char* columns = ORV_LOG_COLUMNS();
    const int backupType = args->m_backupType == -1 ? ArgsRequester::kDefaultBackupType : args->m_backupType;
    LOG(LogInfo) << " vssBackupType=" << backupType << " "
                 << " snapshotVolumesUserVecSize=" << args->m_volumes.size() << " " << std::endl;

    ComRef<IVssBackupComponents> components;
    bool abort = false;
    const HRESULT result = runSession(*args, backupType, components, abort, columns);
    if (abort) {
        LOG(LogInfo) << "AbortBackup..." << std::endl;
        // Nothing more can be done about a failing abort than about the
        // failure that led to it.
        components->AbortBackup();
    }
    if (components) {
        LOG(LogInfo) << "Releasing backup components" << std::endl;
        components.reset();
    }
    // Also after a failed CoInitialize: S_FALSE counted one more
    // initialisation that must be undone.
    CoUninitialize();
    return static_cast<i32>(result);
}

HRESULT VssRequester::failed(const char* call, HRESULT result) {
    output_error(std::string(call) + " failed with error code ", result);
    recordFailure(call, result);
    return result;
}

HRESULT VssRequester::runSession(const ArgsRequester& args, int backupType,
                                 ComRef<IVssBackupComponents>& components, bool& abort, const char* columns) {
    LOG_AT(LogInfo, columns) << "CoInitialize..." << std::endl;
    HRESULT result = CoInitialize(nullptr);
    // S_FALSE counts as a failure too: someone else initialised COM on this
    // thread, with an apartment model this session did not choose.
    if (result != S_OK)
        return failed("CoInitialize", result);

    LOG_AT(LogInfo, columns) << "CreateVssBackupComponents..." << std::endl;
    result = createBackupComponents(components.out());
    // A success without an object would only crash at the next call.
    if (result == S_OK && !components)
        result = E_POINTER;
    if (result != S_OK)
        return failed("CreateVssBackupComponents", result);

    LOG_AT(LogInfo, columns) << "InitializeForBackup..." << std::endl;
    if ((result = components->InitializeForBackup(nullptr)) != S_OK)
        return failed("InitializeForBackup", result);
    // From here on the service holds this session's backup state.
    abort = true;

    LOG_AT(LogInfo, columns) << "SetBackupState..." << std::endl;
    result = components->SetBackupState(false, true, static_cast<VSS_BACKUP_TYPE>(backupType), false);
    if (result != S_OK)
        return failed("SetBackupState", result);

    IVssBackupComponents* session = components.get();
    if (!operation(
            "GatherWriterMetadata",
            [session](IVssAsync** async) { return session->GatherWriterMetadata(async); }, nullptr, columns,
            result))
        return result;

    LOG_AT(LogInfo, columns) << "StartSnapshotSet..." << std::endl;
    VSS_ID snapshotSetId = GUID_NULL;
    if ((result = components->StartSnapshotSet(&snapshotSetId)) != S_OK)
        return failed("StartSnapshotSet", result);
    if (firstSession())
        RunRecord::current().snapshotSetId = guidText(snapshotSetId);
    addVolumes(session, args.m_volumes, columns);

    if (!operation(
            "PrepareForBackup", [session](IVssAsync** async) { return session->PrepareForBackup(async); },
            session, columns, result) ||
        !snapshotSet(session, columns, result) ||
        !operation(
            "BackupComplete", [session](IVssAsync** async) { return session->BackupComplete(async); },
            session, columns, result))
        return result;
    abort = false;
    return S_OK;
}

void VssRequester::addVolumes(IVssBackupComponents* components, const std::vector<std::wstring>& userVolumes,
                              const char* columns) {
    LOG_AT(LogInfo, columns) << "getVolumeList..." << std::endl;
    std::vector<std::wstring> volumes = getVolumeList();

    LOG_AT(LogInfo, columns) << "Add volumes to the shadow set..." << std::endl;
    for (std::wstring& volume : volumes) {
        if (!isSelected(volume, userVolumes)) {
            LOG_AT(LogInfo, columns) << "Skipping SnapShotSet for volume: " << utf8Text(volume) << std::endl;
            continue;
        }
        VSS_ID snapshotId = GUID_NULL;
        // A volume the service refuses leaves the others in the set; the
        // service's own later results decide the session.
        HRESULT added = components->AddToSnapshotSet(volume.data(), kProviderId, &snapshotId);
        LOG_AT(LogInfo, columns) << "AddToSnapshotSet for volume " << utf8Text(volume) << " returned "
                                 << std::hex << static_cast<u32>(added) << std::endl;
        if (firstSession())
            RunRecord::current().volumesAdded.push_back({utf8Text(volume), static_cast<u32>(added)});
    }
}

bool VssRequester::operation(const char* name, const std::function<HRESULT(IVssAsync**)>& start,
                             IVssBackupComponents* reportingWriters, const char* columns, HRESULT& result) {
    LOG_AT(LogInfo, columns) << name << "..." << std::endl;
    ComRef<IVssAsync> async;
    if ((result = start(async.out())) != S_OK) {
        failed(name, result);
        return false;
    }
    HRESULT waitCode = S_OK;
    s_loggedCode = S_OK;
    if (!waitForAsync(std::move(async), waitCode)) {
        LOG_AT(LogError, columns) << "waitForAsync failed" << std::endl;
        recordFailure(std::string(name) + " wait", s_loggedCode);
        result = 1;
        return false;
    }
    s_reportPhase = name;
    return reportingWriters == nullptr || writersReported(reportingWriters, columns, result);
}

bool VssRequester::snapshotSet(IVssBackupComponents* components, const char* columns, HRESULT& result) {
    LOG_AT(LogInfo, columns) << "DoSnapshotSet..." << std::endl;
    ComRef<IVssAsync> async;
    if ((result = components->DoSnapshotSet(async.out())) != S_OK) {
        failed("DoSnapshotSet", result);
        return false;
    }
    // From here on the provider may freeze the writers: before this, a
    // window the flow measures had nothing frozen in it.
    if (!RunRecord::current().firstSessionDone)
        RunRecord::current().snapshotSetStarted = true;
    // The provider holds the writers frozen during this wait, while the
    // flow's listener works.
    s_loggedCode = S_OK;
    if (!waitForAsync(std::move(async), result)) {
        recordFailure("DoSnapshotSet wait", result == kProviderVeto ? result : s_loggedCode);
        LOG_AT(LogError, columns) << "waitForAsync failed"
                                  << " hr=" << std::hex << static_cast<u32>(result) << " " << std::endl;
        if (result == kProviderVeto) {
            // The provider vetoes when nobody set the thaw event in time.
            LOG_AT(LogError, columns)
                << "assumming timeout occured in VSS provider waiting for thaw" << std::endl;
        } else if (result == S_OK) {
            result = 1;
        }
        return false;
    }
    s_reportPhase = "DoSnapshotSet";
    return writersReported(components, columns, result);
}

bool VssRequester::writersReported(IVssBackupComponents* components, const char* columns, HRESULT& result) {
    if (gatherWriterStatus(components))
        return true;
    LOG_AT(LogError, columns) << "gatherWriterStatus failed" << std::endl;
    recordFailure(std::string(s_reportPhase) + " writer status", s_loggedCode);
    result = 1;
    return false;
}

HRESULT VssRequester::createBackupComponents(IVssBackupComponents** components) {
    return CreateVssBackupComponentsInternal(components);
}

std::vector<std::wstring> VssRequester::getVolumeList() {
    std::vector<std::wstring> volumes;
    wchar_t name[kVolumeNameUnits];
    VolumeSearchHandle find(FindFirstVolumeW(name, kVolumeNameUnits));
    if (!find.valid()) {
        DWORD error = GetLastError();
        LOG(LogError) << "FindFirstVolumeW failed with error code " << error << std::endl;
        return volumes;
    }
    for (;;) {
        volumes.push_back(name);
        if (!FindNextVolumeW(find.get(), name, kVolumeNameUnits)) {
            DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_FILES)
                LOG(LogError) << "FindNextVolumeW failed with error code " << error << std::endl;
            break;
        }
    }
    return volumes;
}

void VssRequester::output_error(const std::string& prefix, HRESULT code) {
    s_loggedCode = code;
    LOG(LogError) << prefix << std::hex << static_cast<u32>(code)
                  << VssNames::resultName(static_cast<u32>(code)) << std::endl;
}

bool VssRequester::waitForAsync(ComRef<IVssAsync> async, HRESULT& code) {
    if (!async) {
        LOG(LogInfo) << "pAsync is null so not waiting" << std::endl;
        return false;
    }
    const u32 timeout = AgentTweaks::waitAsyncTimeoutMsec();
    LOG(LogInfo) << "waiting async for: " << timeout << " Msec" << std::endl;
    code = async->Wait(timeout);
    if (code != S_OK) {
        output_error("pAsync->Wait() failed with error code ", code);
        return false;
    }
    LOG(LogInfo) << "about to query status" << std::endl;
    HRESULT status = S_OK;
    code = async->QueryStatus(&status, nullptr);
    if (code != S_OK) {
        output_error("pAsync->QueryStatus() failed with error code ", code);
        return false;
    }
    // VSS_S_ASYNC_PENDING, _FINISHED and _CANCELLED all count as ended well.
    if (status >= 0)
        return true;
    // Only the veto is handed on: the caller reads it as the provider's
    // time-out waiting for the thaw.
    if (status == kProviderVeto)
        code = status;
    output_error("pAsync->QueryStatus() retrieved the error code ", status);
    return false;
}

bool VssRequester::gatherWriterStatus(IVssBackupComponents* components) {
    ComRef<IVssAsync> async;
    HRESULT hr = components->GatherWriterStatus(async.out());
    if (hr != S_OK) {
        output_error("GatherWriterStatus failed with error code ", hr);
        return false;
    }
    HRESULT waitCode = S_OK;
    if (!waitForAsync(std::move(async), waitCode)) {
        LOG(LogError) << "waitForAsync failed " << std::endl;
        return false;
    }
    PrintAllWriterStatuses(components);
    hr = components->FreeWriterStatus();
    if (hr != S_OK) {
        output_error("FreeWriterStatus failed with error code ", hr);
        return false;
    }
    return true;
}

void VssRequester::PrintAllWriterStatuses(IVssBackupComponents* components) {
    UINT count = 0;
    HRESULT hr = components->GetWriterStatusCount(&count);
    if (hr != S_OK) {
        output_error("GetWriterStatusCount failed with error code ", hr);
        return;
    }
    LOG(LogInfo) << "GetWriterStatusCount returned number of writers: " << count << std::endl;
    // Each report of the first session replaces the one before: the record
    // keeps the latest.
    std::vector<RunRecordWriter> reported;
    for (UINT i = 0; i < count; ++i) {
        VSS_ID instanceId = GUID_NULL;
        VSS_ID writerId = GUID_NULL;
        BstrText name;
        VSS_WRITER_STATE state = VSS_WS_UNKNOWN;
        HRESULT failure = S_OK;
        hr = components->GetWriterStatus(i, &instanceId, &writerId, name.out(), &state, &failure);
        if (hr != S_OK) {
            output_error("GetWriterStatus " + std::to_string(i) + " failed with error code ", hr);
            continue;
        }
        // Out of memory leaves a text empty; the record is still worth having.
        RunRecordWriter writer = {utf8Text(name.get(), name.length()),
                                  static_cast<u32>(state),
                                  static_cast<u32>(failure),
                                  guidText(writerId),
                                  guidText(instanceId),
                                  s_reportPhase};
        LOG(LogInfo) << "GetWriterStatus for writer " << i << ": "
                     << " WriterName: " << writer.name << " . "
                     << " Status: " << writer.state << VssNames::writerStateName(writer.state)
                     << " Writer Failure code: " << std::hex << writer.failure << std::dec
                     << " Writer ID: " << writer.id << " Instance ID: " << writer.instanceId << std::endl;
        reported.push_back(std::move(writer));
    }
    RunRecord& record = RunRecord::current();
    if (!record.firstSessionDone)
        record.writers.swap(reported);
}

bool VssRequester::isSelected(const std::wstring& volume, const std::vector<std::wstring>& userVolumes) {
    if (userVolumes.empty())
        return true;
    for (const std::wstring& user : userVolumes)
        if (volume.find(user) != std::wstring::npos)
            return true;
    return false;
}
