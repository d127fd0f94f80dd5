#include "AgentCommon/RunRecord.h"

#include "AgentCommon/JsonLine.h"
#include "VssRequester/VssNames.h"

#include <cstdio>

namespace {
const i64 kSchema = 2;
const u32 kWaitObject0 = 0;
const u32 kWaitTimeout = 258;

// The agent's own codes; the shadow-copy names come from VssNames.
const struct {
    i64 code;
    const char* name;
} kOwnNames[] = {
    {0, "success"},
    {1, "requesterWaitOrWriterStatusFailed"},
    {-1000, "quiescedWaitAbandoned"},
    {-1001, "quiescedWaitTimedOut"},
    {-1002, "quiescedWaitFailedOrPrepareRefused"},
    {-1004, "exception"},
    {-1005, "noWorkerThread"},
    {-1006, "providerServiceMissing"},
    {-1007, "providerServiceNotStarted"},
    {-1008, "requesterThrew"},
    // Platform results the requester hands on as they are.
    {static_cast<i32>(0x80004001), "E_NOTIMPL"},
    {static_cast<i32>(0x80004003), "E_POINTER"},
    {static_cast<i32>(0x80004005), "E_FAIL"},
    {static_cast<i32>(0x8007000E), "E_OUTOFMEMORY"},
    {static_cast<i32>(0x80070005), "E_ACCESSDENIED"},
    {static_cast<i32>(0x80070057), "E_INVALIDARG"},
};

// VssNames gives " (name) " for the log; the record wants the name alone.
std::optional<std::string> bareName(const std::string& logText) {
    if (logText.size() < 4)
        return std::nullopt;
    return logText.substr(2, logText.size() - 4);
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
    if (ticksPerSecond > 0 && e.endTicks >= e.startTicks)
        line.memberFixed("ms", static_cast<double>(e.endTicks - e.startTicks) * 1000.0 /
                                   static_cast<double>(ticksPerSecond));
    else
        line.memberNull("ms");
    line.end();
}

std::optional<std::string> hresultName(i64 code) {
    return RunRecord::statusName(code);
}
} // namespace

std::string RunRecordMarker::text() const {
    return "run=" + run + "\npid=" + std::to_string(pid) + "\ncreated=" + std::to_string(created) +
           "\nstart=" + start + "\n";
}

bool RunRecordMarker::parse(const std::string& text, RunRecordMarker& marker) {
    RunRecordMarker read;
    bool seen[4] = {false, false, false, false};
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals + 1 == line.size())
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        // Numbers are whole decimal texts: a marker cut short by a crash
        // must not yield a different process id.
        const bool digits = value.size() <= 19 && value.find_first_not_of("0123456789") == std::string::npos;
        if (key == "run") {
            read.run = value;
            seen[0] = true;
        } else if (key == "pid" && digits) {
            read.pid = std::stoll(value);
            seen[1] = true;
        } else if (key == "created" && digits) {
            read.created = std::stoull(value);
            seen[2] = true;
        } else if (key == "start") {
            read.start = value;
            seen[3] = true;
        }
    }
    if (!(seen[0] && seen[1] && seen[2] && seen[3]))
        return false;
    marker = read;
    return true;
}

RunRecord& RunRecord::current() {
    static RunRecord* record = new RunRecord();
    return *record;
}

std::optional<std::string> RunRecord::statusName(i64 status) {
    for (const auto& own : kOwnNames)
        if (own.code == status)
            return std::string(own.name);
    return bareName(VssNames::resultName(static_cast<u32>(status)));
}

std::optional<std::string> RunRecord::writerStateName(u32 state) {
    return bareName(VssNames::writerStateName(state));
}

bool RunRecord::writerStateFailed(u32 state) {
    // VSS_WS_FAILED_AT_IDENTIFY .. VSS_WS_FAILED_AT_BACKUPSHUTDOWN.
    return state >= 6 && state <= 15;
}

std::optional<bool> RunRecord::consistent() const {
    if (simulator.value_or(false))
        return std::nullopt;
    if (!requesterResult || *requesterResult != 0)
        return false;
    for (const RunRecordWriter& writer : writers)
        if (writerStateFailed(writer.state))
            return false;
    return true;
}

std::optional<double> RunRecord::frozenMs() const {
    const bool frozen = simulator.value_or(false) || snapshotSetStarted;
    if (!frozen || ticksPerSecond <= 0 || quiescedTicks == 0 || thawSetTicks < quiescedTicks)
        return std::nullopt;
    return static_cast<double>(thawSetTicks - quiescedTicks) * 1000.0 / static_cast<double>(ticksPerSecond);
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

    if (simulator)
        line.member("requester", *simulator ? "simulator" : "vss");
    else
        line.memberNull("requester");
    line.member("exit", exitCode);
    line.member("status", status);
    line.member("statusName", status ? statusName(*status) : std::nullopt);

    const std::optional<double> frozen = frozenMs();
    if (frozen)
        line.memberFixed("frozenMs", *frozen);
    else
        line.memberNull("frozenMs");
    if (frozen && statusWrittenTicks >= quiescedTicks && statusWrittenTicks <= thawSetTicks)
        line.memberFixed("statusWriteMs", static_cast<double>(statusWrittenTicks - quiescedTicks) * 1000.0 /
                                              static_cast<double>(ticksPerSecond));
    else
        line.memberNull("statusWriteMs");

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
        line.beginObject().member("name", writer.name);
        line.member("state", static_cast<i64>(writer.state))
            .member("stateName", writerStateName(writer.state));
        line.member("failure", static_cast<i64>(static_cast<i32>(writer.failure)));
        line.member("failureName",
                    writer.failure == 0 ? std::nullopt : hresultName(static_cast<i32>(writer.failure)));
        line.member("failed", writerStateFailed(writer.state));
        line.end();
    }
    line.end();

    line.member("requesterResult", requesterResult);
    line.member("requesterResultName", requesterResult ? statusName(*requesterResult) : std::nullopt);
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
    return line.line();
}
