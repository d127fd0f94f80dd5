#include "AgentCommon/RunEvent.h"

#include <cstdio>

namespace {
std::string hex(u32 value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

// "-1006 (providerServiceMissing)"; a shadow-copy code also in hexadecimal.
std::string codeText(i64 code) {
    std::string text = std::to_string(code);
    if (code < -65535)
        text += " " + hex(static_cast<u32>(code));
    return text + " (" + RunRecord::statusName(code).value_or("unknown") + ")";
}

// An exit code 1 is the command line's, whatever a status 1 means.
std::string exitText(i64 exitCode) {
    return exitCode == 1 ? "1 (usage)" : codeText(exitCode);
}

// Cut at a whole UTF-8 character.
std::string bounded(std::string text) {
    if (text.size() <= RunEvent::kMaxStringBytes)
        return text;
    size_t end = RunEvent::kMaxStringBytes - 3;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end) + "...";
}

std::string joined(const std::vector<std::string>& parts, const char* none) {
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : "; ") + part;
    return text.empty() ? none : text;
}

std::string writersText(const RunRecord& record) {
    std::vector<std::string> parts;
    for (const RunRecordWriter& writer : record.writers) {
        std::string part = writer.name + " (" + RunRecord::writerStateName(writer.state).value_or("unknown");
        if (writer.failure != 0)
            part += ", " + codeText(static_cast<i32>(writer.failure));
        parts.push_back(part + ")");
    }
    return joined(parts, "none reported");
}

// What the guards changed and whether they put it back: the first word
// answers "is the machine as it was".
std::string guardsText(const RunRecord& record) {
    std::vector<std::string> parts;
    bool asBefore = true;
    if (record.runOnceRegistered.value_or(false)) {
        const bool removed = record.runOnceRemoved.value_or(false);
        asBefore = asBefore && removed;
        parts.push_back(removed ? "RunOnce entry removed" : "RunOnce entry left in place");
    }
    if (record.bcdeditDisable) {
        const bool restored = record.bcdeditEnable.value_or(-1) == 0;
        asBefore = asBefore && restored;
        parts.push_back(restored ? "boot-status policy restored"
                                 : "boot-status policy not restored (" +
                                       (record.bcdeditEnable ? std::to_string(*record.bcdeditEnable)
                                                             : std::string("not run")) +
                                       ")");
    }
    if (record.stampSaved) {
        if (!*record.stampSaved) {
            parts.push_back(record.stampSaveError.value_or(0) == 2 ? "no LastAliveStamp to put back"
                                                                   : "LastAliveStamp could not be saved");
        } else {
            const bool restored = record.stampRestored.value_or(false);
            asBefore = asBefore && restored;
            parts.push_back(restored ? "LastAliveStamp restored" : "LastAliveStamp not restored");
        }
    }
    if (parts.empty())
        return "as before: nothing was changed";
    return std::string(asBefore ? "as before: " : "NOT as before: ") + joined(parts, "");
}

std::string frozenText(const RunRecord& record) {
    const std::optional<double> ms = record.frozenMs();
    if (!ms)
        return "nothing was frozen";
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f ms", *ms);
    return text;
}

std::string unfinishedText(const RunRecordUnfinished& unfinished) {
    return std::string(unfinished.runOncePresent
                           ? "its RunOnce entry OrvelVssAgent (boot-status policy relaxed until it runs)"
                           : "no RunOnce entry") +
           "; " + (unfinished.lastAliveStampPresent ? "LastAliveStamp present" : "no LastAliveStamp (lost)");
}
} // namespace

// The record's verdict as an operator filters on it. A first session that
// failed although the flow returned 0 is a snapshot that is not
// application-consistent once the writers were frozen for it, and a failed
// run before that.
RunEvent::Level RunEvent::levelOf(const RunRecord& record) {
    const std::string outcome = record.outcome();
    if (outcome == "ok")
        return {kCheckpointTaken, RunEventType::information};
    if (outcome == "inconsistent" || (outcome == "failed" && record.exitCode == 0 &&
                                      record.tweakFailure.empty() && record.snapshotSetStarted))
        return {kNotApplicationConsistent, RunEventType::warning};
    if (outcome == "checkpointNotDelivered")
        return {kCheckpointNotDelivered, RunEventType::warning};
    return {kRunFailed, RunEventType::error};
}

std::vector<RunEvent> RunEvent::forRun(const RunRecord& record) {
    std::vector<RunEvent> events;
    for (const RunRecordUnfinished& unfinished : record.previousRunUnfinished) {
        if (events.size() == kMaxUnfinished)
            break;
        RunEvent event;
        event.id = kEarlierRunUnfinished;
        event.type = RunEventType::warning;
        event.strings = {unfinished.run, std::to_string(unfinished.pid), unfinished.start,
                         unfinishedText(unfinished), record.run};
        events.push_back(event);
    }

    RunEvent event;
    const Level level = levelOf(record);
    event.id = level.id;
    event.type = level.type;
    const char* requester = !record.simulator ? "none chosen" : *record.simulator ? "simulator" : "vss";
    event.strings = {record.run,
                     record.externallyInitiated ? "external" : "internal",
                     requester,
                     exitText(record.exitCode),
                     record.status ? codeText(*record.status) : "none written",
                     frozenText(record),
                     writersText(record),
                     guardsText(record),
                     record.reason(),
                     record.agent};
    events.push_back(event);
    for (RunEvent& each : events)
        for (std::string& text : each.strings)
            text = bounded(text);
    return events;
}
