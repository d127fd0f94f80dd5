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

// Cut at a whole UTF-8 character.
// An exit code 1 is the command line's, whatever a status 1 means.
std::string exitText(i64 exitCode) {
    return exitCode == 1 ? "1 (usage)" : codeText(exitCode);
}

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

// The checkpoint reached every management server asked, or the runner
// signalled that its own was done.
bool checkpointDelivered(const RunRecord& record) {
    if (record.externallyInitiated)
        return record.thawStartWait.value_or(0) == 0;
    for (const RunRecordServer& server : record.servers)
        if (!server.checkpoint.sent || !server.checkpoint.ok)
            return false;
    return true;
}

std::string failedStep(i64 exitCode) {
    switch (exitCode) {
    case 1:
        return "the command line was not accepted";
    case -1000:
        return "the wait for the provider's quiesced event was abandoned";
    case -1001:
        return "the wait for the provider's quiesced event timed out";
    case -1002:
        return "the wait for the quiesced event failed, or the listener refused to prepare";
    case -1004:
        return "an exception ended the run";
    case -1005:
        return "the requester's worker thread could not be created";
    case -1006:
        return "the provider service OrvelVssProvider does not exist";
    case -1007:
        return "the provider service OrvelVssProvider could not be started";
    default:
        return "the run ended with exit code " + std::to_string(exitCode);
    }
}

std::string undeliveredText(const RunRecord& record) {
    if (record.externallyInitiated)
        return "the runner did not signal thaw-start in time";
    for (const RunRecordServer& server : record.servers)
        if (!server.checkpoint.sent || !server.checkpoint.ok)
            return "the checkpoint did not reach the " + server.role + " management server " + server.host +
                   ":" + std::to_string(server.port) +
                   (server.checkpoint.sent ? " (error " + std::to_string(server.checkpoint.error) + ")"
                                           : " (not sent)");
    return "the checkpoint was not delivered";
}

std::string inconsistentText(const RunRecord& record) {
    std::vector<std::string> parts;
    if (record.requesterResult.value_or(-1) != 0)
        parts.push_back("the requester failed: " + (record.requesterResult ? codeText(*record.requesterResult)
                                                                           : std::string("no result")));
    for (const RunRecordWriter& writer : record.writers)
        if (RunRecord::writerStateFailed(writer.state))
            parts.push_back("writer " + writer.name +
                            " failed: " + RunRecord::writerStateName(writer.state).value_or("unknown") +
                            (writer.failure != 0 ? ", " + codeText(static_cast<i32>(writer.failure)) : ""));
    return joined(parts, "the snapshot is not application-consistent");
}

std::string unfinishedText(const RunRecordUnfinished& unfinished) {
    return std::string(unfinished.runOncePresent
                           ? "its RunOnce entry OrvelVssAgent (boot-status policy relaxed until it runs)"
                           : "no RunOnce entry") +
           "; " + (unfinished.lastAliveStampPresent ? "LastAliveStamp present" : "no LastAliveStamp (lost)");
}
} // namespace

std::string RunEvent::outcomeOf(const RunRecord& record) {
    if (record.exitCode == 1)
        return "usage";
    if (record.exitCode != 0)
        return "failed";
    if (!checkpointDelivered(record))
        return "checkpointNotDelivered";
    return record.consistent().value_or(true) ? "ok" : "inconsistent";
}

std::string RunEvent::reasonOf(const RunRecord& record) {
    const std::string outcome = outcomeOf(record);
    if (outcome == "usage" || outcome == "failed")
        return failedStep(record.exitCode);
    if (outcome == "checkpointNotDelivered")
        return undeliveredText(record);
    if (outcome == "inconsistent")
        return inconsistentText(record);
    return record.simulator.value_or(false) ? "the requester simulator took the snapshot's place"
                                            : "application-consistent";
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

    const std::string outcome = outcomeOf(record);
    RunEvent event;
    if (outcome == "ok") {
        event.id = kCheckpointTaken;
        event.type = RunEventType::information;
    } else if (outcome == "inconsistent") {
        event.id = kNotApplicationConsistent;
        event.type = RunEventType::warning;
    } else if (outcome == "checkpointNotDelivered") {
        event.id = kCheckpointNotDelivered;
        event.type = RunEventType::warning;
    } else {
        event.id = kRunFailed;
        event.type = RunEventType::error;
    }
    const char* requester = !record.simulator ? "none chosen" : *record.simulator ? "simulator" : "vss";
    event.strings = {record.run,
                     record.externallyInitiated ? "external" : "internal",
                     requester,
                     exitText(record.exitCode),
                     record.status ? codeText(*record.status) : "none written",
                     frozenText(record),
                     writersText(record),
                     guardsText(record),
                     reasonOf(record),
                     record.agent};
    events.push_back(event);
    for (RunEvent& each : events)
        for (std::string& text : each.strings)
            text = bounded(text);
    return events;
}
