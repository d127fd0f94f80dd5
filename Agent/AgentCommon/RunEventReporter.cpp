#include "AgentCommon/RunEventReporter.h"

#include "Log.h"

bool RunEventReporter::report(const RunRecord& record, IEventLog& log) {
    // Written even when the registration failed: the entry is still there,
    // only its text cannot be shown.
    const u32 registerError = log.registerSource();
    u32 writeError = 0;
    u32 failedId = 0;
    for (const RunEvent& event : RunEvent::forRun(record)) {
        writeError = log.write(event);
        if (writeError != 0) {
            failedId = event.id;
            break;
        }
    }
    if (registerError == 0 && writeError == 0)
        return true;
    LOG(LogWarn) << "The event log source could not be registered or an entry not written"
                 << " registerError=" << registerError << " "
                 << " writeError=" << writeError << " "
                 << " eventId=" << failedId << " " << std::endl;
    return false;
}
