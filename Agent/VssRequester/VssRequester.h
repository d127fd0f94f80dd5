#pragma once
// The agent's Volume Shadow Copy requester: one DoSnapshot call drives one
// whole backup session against the shadow-copy service (writer metadata,
// a snapshot set over the selected volumes with the companion provider, the
// snapshot, backup complete) and logs the writers' states after each of its
// three asynchronous phases. It blocks inside the snapshot-set step while the
// provider holds the writers frozen. Windows only.
#include "Types.h"
#include "VssRequester/ComRef.h"
#include "VssRequester/IVssRequester.h"

// clang-format off
#include <windows.h>
#include <vss.h>
#include <vswriter.h>
#include <vsbackup.h>
// clang-format on

#include <functional>
#include <string>
#include <vector>

class VssRequester : public IVssRequester {
public:
    // {4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}: the companion provider
    // registers itself with the service under this identifier, and every
    // selected volume is added with it.
    static const GUID kProviderId;
    // The service's answer when the provider vetoed the snapshot; the
    // provider vetoes when it timed out waiting for the thaw.
    static const HRESULT kProviderVeto = static_cast<HRESULT>(0x80042306);

    // 0 when the whole backup succeeded, else the failing call's code (1 for
    // a failed wait or writer-status gathering). Initialises COM for the
    // calling thread itself and uninitialises it on every path.
    i32 DoSnapshot(ArgsRequester* args) override;

protected:
    // The platform behind the requester; a test derives to hand in its own
    // service object and volumes. CreateVssBackupComponentsInternal; on
    // success `components` holds a new reference.
    virtual HRESULT createBackupComponents(IVssBackupComponents** components);
    // Every volume GUID path of the machine ("\\?\Volume{...}\"), in
    // enumeration order; what was gathered before an enumeration error.
    virtual std::vector<std::wstring> getVolumeList();

    // One Error record: `prefix`, the code in lower-case hexadecimal, its name
    // if it has one.
    static void output_error(const std::string& prefix, HRESULT code);
    // Waits for one asynchronous operation (t_WaitAsyncTimeoutMsec, read on
    // every call) and releases it. True when it ended with a success status.
    // `code` receives the failing call's result, or the operation's status
    // when that is the provider veto; any other failing status leaves it 0.
    [[nodiscard]] static bool waitForAsync(ComRef<IVssAsync> async, HRESULT& code);
    // Gathers and logs the writers' states. Fails only when a service call or
    // the wait fails; writers in a failed state are merely logged.
    [[nodiscard]] static bool gatherWriterStatus(IVssBackupComponents* components);
    // One Info record per writer, after the count record.
    static void PrintAllWriterStatuses(IVssBackupComponents* components);

private:
    // The session's calls in order, from CoInitialize to BackupComplete; the
    // first that fails ends it and gives its result. `abort` tells whether
    // the service already holds backup state that must be dropped. Every
    // record goes out under `columns`, the label of DoSnapshot.
    HRESULT runSession(const ArgsRequester& args, int backupType, ComRef<IVssBackupComponents>& components,
                       bool& abort, const char* columns);
    // The machine's volumes that the user chose, added to the snapshot set.
    void addVolumes(IVssBackupComponents* components, const std::vector<std::wstring>& userVolumes,
                    const char* columns);
    // One asynchronous step: "<name>...", its start, the wait and, when
    // `reportingWriters` is given, the writers' report. False with `result`
    // set when one of them failed.
    [[nodiscard]] static bool operation(const char* name, const std::function<HRESULT(IVssAsync**)>& start,
                                        IVssBackupComponents* reportingWriters, const char* columns,
                                        HRESULT& result);
    // DoSnapshotSet: the step during whose wait the writers are frozen.
    [[nodiscard]] static bool snapshotSet(IVssBackupComponents* components, const char* columns,
                                          HRESULT& result);
    [[nodiscard]] static bool writersReported(IVssBackupComponents* components, const char* columns,
                                              HRESULT& result);
    // The Error record of a failed call; gives back its result.
    static HRESULT failed(const char* call, HRESULT result);

    // Whether the volume is part of the snapshot set: all volumes for an empty
    // user list, else those of which some user text is a (case-sensitive)
    // part.
    static bool isSelected(const std::wstring& volume, const std::vector<std::wstring>& userVolumes);
};
