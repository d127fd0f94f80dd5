#include "AgentCommon/RunRecord.h"

#include "AgentCommon/JsonLine.h"
#include "VssRequester/ArgsRequester.h"
#include "VssRequester/VssNames.h"

#include <cstdio>

namespace {
const i64 kSchema = 3;
const u32 kWaitObject0 = 0;
const u32 kWaitTimeout = 258;
const i64 kExitUsage = 1;

struct CodeName {
    i64 code;
    const char* name;
};

// The agent's own codes, with what an exit with one means (none for those a
// run never exits with), then platform results the requester hands on as
// they are.
struct OwnCode {
    i64 code;
    const char* name;
    const char* exitMeaning;
};
const OwnCode kOwnNames[] = {
    {0, "success", nullptr},
    {1, "requesterWaitOrWriterStatusFailed", nullptr},
    {-1000, "quiescedWaitAbandoned", "the wait for the provider's freeze was abandoned"},
    {-1001, "quiescedWaitTimedOut", "the provider did not report the writers frozen in time"},
    {-1002, "quiescedWaitFailedOrPrepareRefused",
     "no management server answered the ping, or the wait for the freeze failed"},
    {-1004, "exception", "the agent ended on an exception (see the log)"},
    {-1005, "noWorkerThread", "no worker thread could be created"},
    {-1006, "providerServiceMissing", "the provider service OrvelVssProvider is not installed"},
    {-1007, "providerServiceNotStarted", "the provider service OrvelVssProvider could not be started"},
    {-1008, "requesterThrew", nullptr},
    {static_cast<i32>(0x80004001), "E_NOTIMPL", nullptr},
    {static_cast<i32>(0x80004003), "E_POINTER", nullptr},
    {static_cast<i32>(0x80004005), "E_FAIL", nullptr},
    {static_cast<i32>(0x8000FFFF), "E_UNEXPECTED", nullptr},
    {static_cast<i32>(0x8007000E), "E_OUTOFMEMORY", nullptr},
    {static_cast<i32>(0x80070005), "E_ACCESSDENIED", nullptr},
    {static_cast<i32>(0x80070057), "E_INVALIDARG", nullptr},
};

const OwnCode* ownCode(i64 code) {
    for (const OwnCode& own : kOwnNames)
        if (own.code == code)
            return &own;
    return nullptr;
}

// Every shadow-copy error code, writers' failure codes included, by its low
// 16 bits (all are 0x8004xxxx), named without the "VSS_E_" each carries. The
// log keeps its own table, sentences and all; the record gives symbols only.
const CodeName kShadowCopyErrors[] = {
    {0x2301, "BAD_STATE"},
    {0x2302, "UNEXPECTED"},
    {0x2303, "PROVIDER_ALREADY_REGISTERED"},
    {0x2304, "PROVIDER_NOT_REGISTERED"},
    {0x2306, "PROVIDER_VETO"},
    {0x2307, "PROVIDER_IN_USE"},
    {0x2308, "OBJECT_NOT_FOUND"},
    {0x230C, "VOLUME_NOT_SUPPORTED"},
    {0x230D, "OBJECT_ALREADY_EXISTS"},
    {0x230E, "VOLUME_NOT_SUPPORTED_BY_PROVIDER"},
    {0x230F, "UNEXPECTED_PROVIDER_ERROR"},
    {0x2310, "CORRUPT_XML_DOCUMENT"},
    {0x2311, "INVALID_XML_DOCUMENT"},
    {0x2312, "MAXIMUM_NUMBER_OF_VOLUMES_REACHED"},
    {0x2313, "FLUSH_WRITES_TIMEOUT"},
    {0x2314, "HOLD_WRITES_TIMEOUT"},
    {0x2315, "UNEXPECTED_WRITER_ERROR"},
    {0x2316, "SNAPSHOT_SET_IN_PROGRESS"},
    {0x2317, "MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED"},
    {0x2318, "WRITER_INFRASTRUCTURE"},
    {0x2319, "WRITER_NOT_RESPONDING"},
    {0x231A, "WRITER_ALREADY_SUBSCRIBED"},
    {0x231B, "UNSUPPORTED_CONTEXT"},
    {0x231D, "VOLUME_IN_USE"},
    {0x231E, "MAXIMUM_DIFFAREA_ASSOCIATIONS_REACHED"},
    {0x231F, "INSUFFICIENT_STORAGE"},
    {0x2320, "NO_SNAPSHOTS_IMPORTED"},
    {0x2321, "SOME_SNAPSHOTS_NOT_IMPORTED"},
    {0x2322, "MAXIMUM_NUMBER_OF_REMOTE_MACHINES_REACHED"},
    {0x2323, "REMOTE_SERVER_UNAVAILABLE"},
    {0x2324, "REMOTE_SERVER_UNSUPPORTED"},
    {0x2325, "REVERT_IN_PROGRESS"},
    {0x2326, "REVERT_VOLUME_LOST"},
    {0x2327, "REBOOT_REQUIRED"},
    {0x2328, "TRANSACTION_FREEZE_TIMEOUT"},
    {0x2329, "TRANSACTION_THAW_TIMEOUT"},
    {0x232A, "UNSELECTED_VOLUME"},
    {0x232B, "SNAPSHOT_NOT_IN_SET"},
    {0x232C, "NESTED_VOLUME_LIMIT"},
    {0x232D, "VOLUME_NOT_LOCAL"},
    {0x232E, "CLUSTER_TIMEOUT"},
    {0x232F, "NOT_SUPPORTED"},
    {0x2336, "WRITERERROR_PARTIAL_FAILURE"},
    {0x23F0, "WRITERERROR_INCONSISTENTSNAPSHOT"},
    {0x23F1, "WRITERERROR_OUTOFRESOURCES"},
    {0x23F2, "WRITERERROR_TIMEOUT"},
    {0x23F3, "WRITERERROR_RETRYABLE"},
    {0x23F4, "WRITERERROR_NONRETRYABLE"},
    {0x23F5, "WRITERERROR_RECOVERY_FAILED"},
    {0x23F6, "BREAK_REVERT_ID_FAILED"},
    {0x23F7, "LEGACY_PROVIDER"},
    {0x23F8, "MISSING_DISK"},
    {0x23F9, "MISSING_HIDDEN_VOLUME"},
    {0x23FA, "MISSING_VOLUME"},
    {0x23FB, "AUTORECOVERY_FAILED"},
    {0x23FC, "DYNAMIC_DISK_ERROR"},
    {0x23FD, "NONTRANSPORTABLE_BCD"},
    {0x23FE, "CANNOT_REVERT_DISKID"},
    {0x23FF, "RESYNC_IN_PROGRESS"},
    {0x2400, "CLUSTER_ERROR"},
    {0x2401, "ASRERROR_DISK_ASSIGNMENT_FAILED"},
    {0x2402, "ASRERROR_DISK_RECREATION_FAILED"},
    {0x2403, "ASRERROR_NO_ARCPATH"},
    {0x2404, "ASRERROR_MISSING_DYNDISK"},
    {0x2405, "ASRERROR_SHARED_CRIDISK"},
    {0x2406, "ASRERROR_DATADISK_RDISK0"},
    {0x2407, "ASRERROR_RDISK0_TOOSMALL"},
    {0x2408, "ASRERROR_CRITICAL_DISKS_TOO_SMALL"},
    {0x2409, "WRITER_STATUS_NOT_AVAILABLE"},
    {0x240A, "ASRERROR_DYNAMIC_VHD_NOT_SUPPORTED"},
    {0x2411, "CRITICAL_VOLUME_ON_INVALID_DISK"},
    {0x2412, "ASRERROR_RDISK_FOR_SYSTEM_DISK_NOT_FOUND"},
    {0x2413, "ASRERROR_NO_PHYSICAL_DISK_AVAILABLE"},
    {0x2414, "ASRERROR_FIXED_PHYSICAL_DISK_AVAILABLE_AFTER_DISK_EXCLUSION"},
    {0x2415, "ASRERROR_CRITICAL_DISK_CANNOT_BE_EXCLUDED"},
    {0x2416, "ASRERROR_SYSTEM_PARTITION_HIDDEN"},
    {0x2417, "FSS_TIMEOUT"},
};

// Codes after which the same run, started again later, may pass: something
// was busy or slow, not broken.
const i64 kTransient[] = {
    -1000,
    -1001,
    static_cast<i32>(0x80042306), // the provider's own time-out waiting for the thaw
    static_cast<i32>(0x80042313),
    static_cast<i32>(0x80042314),
    static_cast<i32>(0x80042316),
    static_cast<i32>(0x80042319),
    static_cast<i32>(0x800423F0),
    static_cast<i32>(0x800423F1),
    static_cast<i32>(0x800423F2),
    static_cast<i32>(0x800423F3),
};

bool transient(i64 code) {
    for (i64 known : kTransient)
        if (known == code)
            return true;
    return false;
}

// "-1001 (quiescedWaitTimedOut)", "0x80042306 (VSS_E_PROVIDER_VETO)": the
// agent's own codes in decimal, results as the log's hexadecimal.
std::string codeText(i64 code) {
    std::string text;
    if (code >= -0xFFFF && code <= 0xFFFF) {
        text = std::to_string(code);
    } else {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(static_cast<u32>(code)));
        text = hex;
    }
    const std::optional<std::string> name = RunRecord::statusName(code);
    return name ? text + " (" + *name + ")" : text;
}

const char* exitMeaning(i64 exitCode) {
    const OwnCode* own = ownCode(exitCode);
    return own && own->exitMeaning ? own->exitMeaning : "the run ended early";
}

// Unset when the counter gave no figure or the ticks run backwards.
std::optional<double> elapsedMs(i64 fromTicks, i64 toTicks, i64 ticksPerSecond) {
    if (ticksPerSecond <= 0 || toTicks < fromTicks)
        return std::nullopt;
    return static_cast<double>(toTicks - fromTicks) * 1000.0 / static_cast<double>(ticksPerSecond);
}

void exchange(JsonLine& line, const char* key, const RunRecordExchange& e, i64 ticksPerSecond) {
    if (!e.sent) {
        line.memberNull(key);
        return;
    }
    line.beginObject(key).member("ok", e.ok);
    if (e.ok)
        line.memberNull("error");
    else
        line.member("error", static_cast<i64>(e.error));
    line.memberFixed("ms", elapsedMs(e.startTicks, e.endTicks, ticksPerSecond));
    line.end();
}

const RunRecordWriter* firstFailedWriter(const std::vector<RunRecordWriter>& writers) {
    for (const RunRecordWriter& writer : writers)
        if (RunRecord::writerStateFailed(writer.state))
            return &writer;
    return nullptr;
}

bool delivered(const RunRecordServer& server) {
    return server.checkpoint.sent && server.checkpoint.ok;
}

// A first session that ended well with nothing in its snapshot set: a
// volumes= list that matched no volume GUID path.
bool nothingSelected(const RunRecord& record) {
    return !record.simulator.value_or(true) && record.requesterResult.value_or(1) == 0 &&
           !record.snapshotSetId.empty() && record.volumesAdded.empty();
}
} // namespace

RunRecord& RunRecord::current() {
    static RunRecord* record = new RunRecord();
    return *record;
}

std::optional<std::string> RunRecord::statusName(i64 status) {
    if (const OwnCode* own = ownCode(status))
        return std::string(own->name);
    if (status == static_cast<i32>(status) && (static_cast<u32>(status) & 0xFFFF0000u) == 0x80040000u)
        for (const CodeName& error : kShadowCopyErrors)
            if (error.code == (status & 0xFFFF))
                return std::string("VSS_E_") + error.name;
    return std::nullopt;
}

std::optional<std::string> RunRecord::writerStateName(u32 state) {
    const char* symbol = VssNames::writerStateSymbol(state);
    return symbol == nullptr ? std::nullopt : std::optional<std::string>(symbol);
}

bool RunRecord::writerStateFailed(u32 state) {
    // VSS_WS_FAILED_AT_IDENTIFY .. VSS_WS_FAILED_AT_BACKUPSHUTDOWN.
    return state >= 6 && state <= 15;
}

std::optional<bool> RunRecord::consistent() const {
    if (simulator.value_or(false))
        return std::nullopt;
    return requesterResult == 0 && firstFailedWriter(writers) == nullptr;
}

std::optional<double> RunRecord::frozenMs() const {
    const bool frozen = simulator.value_or(false) || snapshotSetStarted;
    if (!frozen || quiescedTicks == 0)
        return std::nullopt;
    return elapsedMs(quiescedTicks, thawSetTicks, ticksPerSecond);
}

std::string RunRecord::outcome() const {
    if (!tweakFailure.empty())
        return "failed";
    if (exitCode == kExitUsage && !argsParsed && !externallyInitiated && !simulator)
        return "usage";
    if (exitCode != 0 || requesterResult.value_or(1) != 0 || nothingSelected(*this))
        return "failed";
    for (const RunRecordServer& server : servers)
        if (!delivered(server))
            return "checkpointNotDelivered";
    if (externallyInitiated && thawStartWait != kWaitObject0)
        return "checkpointNotDelivered";
    return firstFailedWriter(writers) ? "inconsistent" : "ok";
}

std::string RunRecord::reason() const {
    const std::string verdict = outcome();
    const char* const mayPass = "; a later run may pass";
    const char* const stays = "; waiting alone does not fix it";
    std::string text;
    std::optional<i64> decisive;
    if (!tweakFailure.empty()) {
        text = "exit 3: " + tweakFailure + stays;
    } else if (verdict == "usage") {
        text = "exit 1: the command line was refused (see the usage line)" + std::string(stays);
    } else if (exitCode != 0) {
        decisive = exitCode;
        text = "exit " + codeText(exitCode) + ": " + exitMeaning(exitCode);
        for (const RunRecordServer& server : servers)
            if (exitCode == -1002 && server.ping.sent && !server.ping.ok)
                text += "; ping of " + server.role + " " + server.host + ":" + std::to_string(server.port) +
                        " failed with error " + std::to_string(server.ping.error);
        if (exitCode == -1006 || exitCode == -1007)
            text += stays;
    } else if (verdict == "failed" && nothingSelected(*this)) {
        text = "exit 0, but no volume was added: no volumes= entry occurs in a volume GUID path" +
               std::string(stays);
    } else if (verdict == "failed") {
        text = "exit 0, but the first shadow-copy session ";
        if (!requesterResult)
            text += "reported no result";
        else if (failedStep.empty())
            text += "failed with " + codeText(*requesterResult);
        else
            text += "failed at " + failedStep + " with " + codeText(failedCode.value_or(*requesterResult));
        decisive = failedCode ? failedCode : requesterResult;
    } else if (verdict == "checkpointNotDelivered") {
        text = "exit 0, but ";
        for (const RunRecordServer& server : servers)
            if (!delivered(server)) {
                text += "the checkpoint request to the " + server.role + " server " + server.host + ":" +
                        std::to_string(server.port);
                text += server.checkpoint.sent
                            ? " got no answer (error " + std::to_string(server.checkpoint.error) + ")"
                            : " was not sent (its ping failed)";
                break;
            }
        if (externallyInitiated)
            text += "the runner did not signal thaw-start in time";
        // A server or runner that was slow or away this time.
        text += mayPass;
    } else if (verdict == "inconsistent") {
        const RunRecordWriter* writer = firstFailedWriter(writers);
        text = "exit 0, but writer \"" + writer->name + "\" is " +
               writerStateName(writer->state).value_or(std::to_string(writer->state));
        if (writer->failure != 0)
            text += " with " + codeText(static_cast<i32>(writer->failure));
        if (!writer->phase.empty())
            text += " after " + writer->phase;
        decisive =
            writer->failure != 0 ? std::optional<i64>(static_cast<i32>(writer->failure)) : std::nullopt;
    } else {
        text = externallyInitiated ? "snapshot taken; the runner signalled thaw-start"
                                   : "snapshot taken; every checkpoint request was answered";
    }
    if (decisive && transient(*decisive))
        text += mayPass;
    if (simulator.value_or(false))
        text = "simulated requester (test switch, never in production): nothing was snapshotted; " + text;
    return text;
}

std::string RunRecord::isoUtc(int year, int month, int day, int hour, int minute, int second, int ms) {
    char text[40];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day, hour, minute,
                  second, ms);
    return text;
}

std::string RunRecord::jsonLine() const {
    JsonLine line;
    line.member("schema", kSchema).member("run", run).member("agent", agent);
    line.member("start", start).member("end", end);
    line.member("host", host).member("pid", pid).member("osBuild", osBuild);
    line.member("mode", externallyInitiated ? "external" : "internal").member("gui", gui);

    line.beginObject("args");
    if (argsParsed) {
        line.member("local", localUrl).member("localPort", localPort);
        line.member("peer", peerUrl).member("peerPort", peerPort).member("tag", tag);
        line.beginArray("volumes");
        for (const std::string& volume : volumes)
            line.element(volume);
        line.end();
        line.member("backupType", backupType);
    }
    line.end();

    line.beginObject("settings");
    line.member("quiescedWaitMs", settings.quiescedWaitMs)
        .member("thawStartWaitMs", settings.thawStartWaitMs);
    line.member("waitAsyncMs", settings.waitAsyncMs).member("readWaitMs", settings.readWaitMs);
    // -1 (not given) is the copy type; known once a requester was chosen.
    line.member("backupType",
                simulator
                    ? std::optional<i64>(backupType == -1 ? ArgsRequester::kDefaultBackupType : backupType)
                    : std::nullopt);
    line.beginArray("tweakFiles");
    for (const std::string& file : settings.tweakFiles)
        line.element(file);
    line.end();
    line.end();

    if (simulator)
        line.member("requester", *simulator ? "simulator" : "vss");
    else
        line.memberNull("requester");
    line.member("exit", exitCode);
    line.member("outcome", outcome()).member("reason", reason());
    line.member("status", status);
    line.member("statusName", status ? statusName(*status) : std::nullopt);

    const std::optional<double> frozen = frozenMs();
    line.memberFixed("frozenMs", frozen);
    line.memberFixed("statusWriteMs", frozen && statusWrittenTicks <= thawSetTicks
                                          ? elapsedMs(quiescedTicks, statusWrittenTicks, ticksPerSecond)
                                          : std::nullopt);
    line.memberFixed("snapshotMs", flowStartTicks != 0
                                       ? elapsedMs(flowStartTicks, flowEndTicks, ticksPerSecond)
                                       : std::nullopt);

    line.beginArray("servers");
    for (const RunRecordServer& server : servers) {
        line.beginObject()
            .member("role", server.role)
            .member("host", server.host)
            .member("port", server.port);
        exchange(line, "ping", server.ping, ticksPerSecond);
        exchange(line, "checkpoint", server.checkpoint, ticksPerSecond);
        line.end();
    }
    line.end();

    line.beginObject("runner");
    if (!thawStartWait)
        line.memberNull("thawStart");
    else
        line.member("thawStart", *thawStartWait == kWaitObject0   ? "received"
                                 : *thawStartWait == kWaitTimeout ? "timedOut"
                                                                  : "failed");
    if (!readNotificationReceived)
        line.memberNull("readNotification");
    else
        line.member("readNotification", *readNotificationReceived ? "received" : "timedOut");
    line.end();

    line.beginArray("writers");
    for (const RunRecordWriter& writer : writers) {
        line.beginObject().member("name", writer.name).member("id", writer.id);
        line.member("instanceId", writer.instanceId).member("phase", writer.phase);
        line.member("state", static_cast<i64>(writer.state))
            .member("stateName", writerStateName(writer.state));
        line.member("failure", static_cast<i64>(static_cast<i32>(writer.failure)));
        line.member("failureName",
                    writer.failure == 0 ? std::nullopt : statusName(static_cast<i32>(writer.failure)));
        line.member("failed", writerStateFailed(writer.state));
        line.end();
    }
    line.end();

    line.beginArray("volumesAdded");
    for (const RunRecordVolume& volume : volumesAdded) {
        line.beginObject()
            .member("path", volume.path)
            .member("result", static_cast<i64>(static_cast<i32>(volume.result)));
        line.member("resultName", statusName(static_cast<i32>(volume.result))).end();
    }
    line.end();
    line.member("snapshotSetId",
                snapshotSetId.empty() ? std::nullopt : std::optional<std::string>(snapshotSetId));

    line.member("requesterResult", requesterResult);
    line.member("requesterResultName", requesterResult ? statusName(*requesterResult) : std::nullopt);
    line.member("failedStep", failedStep.empty() ? std::nullopt : std::optional<std::string>(failedStep));
    line.member("failedCode", failedCode);
    line.member("failedCodeName", failedCode ? statusName(*failedCode) : std::nullopt);
    line.member("secondSnapshot", secondSnapshotResult);
    line.member("consistent", consistent());

    line.beginObject("guards");
    line.beginObject("runOnce")
        .member("registered", runOnceRegistered)
        .member("removed", runOnceRemoved)
        .end();
    line.beginObject("bcdedit").member("disable", bcdeditDisable).member("enable", bcdeditEnable).end();
    line.beginObject("lastAliveStamp");
    if (!stampSaved)
        line.memberNull("save");
    else
        line.member("save", *stampSaved ? "saved" : stampSaveError.value_or(0) == 2 ? "absent" : "error");
    line.member("error", stampSaveError ? std::optional<i64>(*stampSaveError) : std::nullopt);
    line.member("restored", stampRestored);
    line.end();
    line.end();

    line.beginArray("previousRunUnfinished");
    for (const RunRecordUnfinished& unfinished : previousRunUnfinished) {
        line.beginObject().member("run", unfinished.run).member("pid", unfinished.pid);
        line.member("start", unfinished.start).member("runOncePresent", unfinished.runOncePresent);
        line.member("lastAliveStampPresent", unfinished.lastAliveStampPresent).end();
    }
    line.end();
    line.beginObject("markerScan")
        .member("unfinishedNotListed", static_cast<i64>(unfinishedNotListed))
        .member("dropped", static_cast<i64>(markersDropped))
        .member("cut", markerScanCut)
        .end();
    line.beginArray("recordNotes");
    for (const std::string& note : recordNotes)
        line.element(note);
    line.end();
    return line.line();
}
