// Process entry of the VSS agent: one run takes one snapshot.
#include "AgentCommon/AgentArguments.h"
#include "AgentCommon/AgentFolderSecurity.h"
#include "AgentCommon/AgentInitializer.h"
#include "AgentCommon/AgentObjectNames.h"
#include "AgentCommon/AgentTweaks.h"
#include "AgentCommon/ArgsParserUtils.h"
#include "AgentCommon/ArgumentsParser.h"
#include "AgentCommon/IInterProcessCommunicationHandler.h"
#include "AgentCommon/RunEventReporter.h"
#include "AgentCommon/RunRecord.h"
#include "AgentCommon/RunRecordFile.h"
#include "AgentCommon/RunnerAgentSynchronizer.h"
#include "AgentCommon/ServiceUtils.h"
#include "AgentCommon/StatusReaderWriter.h"
#include "AgentCommon/TextConversion.h"
#include "AgentCommon/WindowsEventLog.h"
#include "Log.h"
#include "MemShieldAO.h"
#include "MemShieldSwitch.h"
#include "OrvelVssAgentVersion.h"
#include "Os.h"
#include "TrackedNew.h"
#include "Tweaks.h"
#include "VssRequester/SnapshotFlowExternallyInitiatedListener.h"
#include "VssRequester/SnapshotFlowInternallyInitiatedListener.h"
#include "VssRequester/VssRequester.h"
#include "VssRequester/VssRequesterSimulator.h"

#include <windows.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {
const int kExitCrashed = -1004;
const int kExitProviderMissing = -1006;
const int kExitProviderNotStarted = -1007;
const u32 kServiceDoesNotExist = 1060;
const char* const kSuccessText = "The VSS checkpoint request has been initiated.";
const int kExitBadTweak = 3;

// Where a bad tweak's record goes: the bound as read, once it was; the
// thread that may write it.
u64 s_recordBoundBytes = AgentTweaks::kDefaultRunRecordMaxBytes;
u32 s_mainThread = 0;
// Read at start: a tweak read at the end could still end the process.
bool s_eventLogEnabled = true;

// The run's event log entry, which tells what its record says.
void reportEvents() {
    WindowsEventLog eventLog;
    RunEventReporter::report(RunRecord::current(), eventLog);
}

// A bad tweak or tweak file ends the process (exit code 3) where it is read:
// the run's line is appended first, without the log, which may not exist
// yet. Only on the main thread, which alone fills the record; on another
// thread the process ends as it always did.
void recordBadTweak(const std::string& reason) {
    if (Os::currentThreadId() != s_mainThread)
        return;
    try {
        RunRecord& record = RunRecord::current();
        record.tweakFailure = reason;
        record.exitCode = kExitBadTweak;
        if (record.start.empty())
            RunRecordFile::begin(record);
        RunRecordFile::finish(record, s_recordBoundBytes);
        // Its entry too: nothing of it reads a tweak, so the tweak store's
        // lock, held here, is never asked for again.
        if (s_eventLogEnabled)
            reportEvents();
    } catch (...) {
        // The process ends next whatever happens here.
    }
}

// The runner learns of a failure before the flow from the status and the
// freeze-complete event.
void reportEarlyFailure(StatusReaderWriter* statusReaderWriter, int status) {
    statusReaderWriter->handler()->write(status);
    RunRecord::current().status = status;
    RunnerAgentSynchronizer::signal(AgentObjectNames::kRunnerFreezeCompleteEvent);
}
// What the command line asked for, as the record gives it.
void recordArguments(const AgentArguments& arguments) {
    RunRecord& record = RunRecord::current();
    record.argsParsed = true;
    record.localUrl = utf8Text(arguments.m_localUrl);
    record.localPort = utf8Text(arguments.m_localPort);
    record.peerUrl = utf8Text(arguments.m_peerUrl);
    record.peerPort = utf8Text(arguments.m_peerPort);
    record.tag = utf8Text(arguments.m_tag);
    for (const std::wstring& volume : arguments.m_snapshotFlow.m_argsRequester.m_volumes)
        record.volumes.push_back(utf8Text(volume));
    record.backupType = arguments.m_snapshotFlow.m_argsRequester.m_backupType;
}

// The run record's side never decides a run: whatever one of its steps
// throws is one Warn record and a note in the record, and the run goes on as
// it would have without it.
template <class Step> void recordSide(const char* what, Step step) {
    std::string failure;
    try {
        step();
        return;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    try {
        LOG(LogWarn) << "run record: " << what << " failed: " << failure << std::endl;
        RunRecord::current().recordNotes.push_back(std::string(what) + " failed: " + failure);
    } catch (...) {
    }
}

// Before the run reads anything in its folder, the folder is made its own
// (see AgentFolderSecurity for why); a failure is reported and changes
// nothing else.
void beginRecord() {
    recordSide("begin", [] {
        const std::wstring folder = RunRecordFile::agentFolder();
        const AgentFolderSecurity::Result secured =
            folder.empty() ? AgentFolderSecurity::Result() : AgentFolderSecurity::apply(folder);
        if (secured.error != 0) {
            LOG(LogWarn) << "the agent's folder keeps its access list: error " << secured.error << " in "
                         << secured.call << "." << std::endl;
            RunRecord::current().recordNotes.push_back("folder access list: error " +
                                                       std::to_string(secured.error) + " in " + secured.call);
        }
        RunRecordFile::begin(RunRecord::current());
    });
}

// The run's record, once its exit code is known, then its event log entry,
// which tells what the record says; whether either could be written changes
// nothing of the run.
int endRun(int exitCode) {
    recordSide("finish", [&] {
        RunRecord::current().exitCode = exitCode;
        RunRecordFile::finish(RunRecord::current(), s_recordBoundBytes);
    });
    if (s_eventLogEnabled)
        recordSide("event log", reportEvents);
    return exitCode;
}

// Tweaks, logs and the allocator's active object, before anything is logged.
void startUp() {
    RunRecord::current().agent = ORVEL_VERSION_TEXT;
    s_mainThread = Os::currentThreadId();
    Tweaks::setFailureHandler(recordBadTweak);
    // No log client exists yet: what the tweak store reports while it loads
    // its files reaches no file.
    AgentTweaks::registerDefaults();
    RunRecord::current().settings.tweakFiles = Tweaks::instance()->filesRead();
    // Set before the first tracked allocation and before any other thread.
    g_memShieldEnabled = AgentTweaks::memShieldEnabled();

    AgentInitializer::initLog("OrvelVssAgent.exe.log");
    // Once both logs exist, so that the active object's and the dead-lock
    // checker's start records reach each of them.
    MemShieldAO::start();

    Tweaks::instance()->print();
    s_eventLogEnabled = AgentTweaks::eventLogEnabled();
}

// The mode and, in the default mode, the parsed command line; a usage
// error's exit code, or 0.
int readCommandLine(int argc, wchar_t* argv[], AgentArguments& arguments, const char* columns) {
    arguments.clear();
    if (argc > 1 && std::wstring(argv[1]) == L"-ExternallyInitiated") {
        arguments.m_externallyInitiated = true;
        RunRecord::current().externallyInitiated = true;
        arguments.m_snapshotFlow.m_argsRequester.m_backupType = -1;
        arguments.m_snapshotFlow.m_argsRequester.m_volumes.clear();
        return 0;
    }
    // The parser sees the program name followed by what came after "-GUI".
    std::vector<const wchar_t*> parseArgv(argv, argv + argc);
    if (argc > 1 && std::wstring(argv[1]) == L"-GUI") {
        arguments.m_gui = true;
        RunRecord::current().gui = true;
        parseArgv.erase(parseArgv.begin() + 1);
    }
    int r = ParseDr(static_cast<int>(parseArgv.size()), parseArgv.data(), arguments);
    if (r != 0) {
        LOG_AT(LogError, columns) << "ArgumentsParser failed"
                                  << " ret=" << r << " " << std::endl;
        return r;
    }
    recordArguments(arguments);
    return 0;
}

// How a run that got past its command line ended: its exit code, and
// whether the runner is given the time to read the status (not after a
// failed flow).
struct Outcome {
    int exitCode;
    bool waitForReader;
};

// The provider service, then the flow with this run's listener and
// requester, then the outcome on the console or in the box.
Outcome takeSnapshot(AgentArguments& arguments, const char* columns) {
    // Lives until the process ends: the runner may read the section until
    // then.
    StatusReaderWriter* statusReaderWriter = ORV_NEW(StatusReaderWriter)();

    LOG_AT(LogInfo, columns) << "Making sure that Orvel VSS Provider service is started..." << std::endl;
    u32 serviceError = ServiceUtils::startService("OrvelVssProvider");
    if (serviceError != 0) {
        LOG_AT(LogError, columns) << "failed to start vss provider service due to :" << serviceError
                                  << std::endl;
        const int exitCode =
            serviceError == kServiceDoesNotExist ? kExitProviderMissing : kExitProviderNotStarted;
        reportEarlyFailure(statusReaderWriter, exitCode);
        return {exitCode, true};
    }
    LOG_AT(LogInfo, columns) << "Orvel VSS Provider service is started." << std::endl;

    ISnapshotFlowListener* listener = nullptr;
    if (arguments.m_externallyInitiated)
        listener = ORV_NEW(SnapshotFlowExternallyInitiatedListener)();
    else
        listener = ORV_NEW(SnapshotFlowInternallyInitiatedListener)(arguments);

    IVssRequester* requester = nullptr;
    const bool simulated = AgentTweaks::simulatedRequester();
    RunRecord::current().simulator = simulated;
    if (!simulated) {
        LOG_AT(LogInfo, columns) << "VssRequester requester" << std::endl;
        requester = ORV_NEW(VssRequester)();
    } else {
        LOG_AT(LogInfo, columns) << "VssRequesterSimulator requester" << std::endl;
        requester = ORV_NEW(VssRequesterSimulator)();
    }

    // Every time-out this run will read, read now with its reader's getter:
    // a value out of range ends the process here (exit code 3), before the
    // machine is touched, instead of with the boot policy relaxed or the
    // writers frozen. Not earlier: a usage error and a missing provider keep
    // their own exit codes, and a tweak this mode never reads fails nothing.
    AgentTweaks::checkForRun(arguments.m_externallyInitiated, simulated);

    RunRecord::current().flowStartTicks = RunRecordFile::ticksNow();
    int result = arguments.m_snapshotFlow.execute(listener, requester, statusReaderWriter);
    RunRecord::current().flowEndTicks = RunRecordFile::ticksNow();
    trackedDelete(requester);
    trackedDelete(listener);

    if (result != 0) {
        LOG_AT(LogError, columns) << "SnapshotFlow failed"
                                  << " ret=" << result << " " << std::endl;
        return {result, false};
    }
    if (arguments.m_gui)
        MessageBoxA(nullptr, kSuccessText, "Add VSS Checkpoint Status", 0);
    else
        std::cout << kSuccessText << std::endl;
    return {0, true};
}
} // namespace

int wmain(int argc, wchar_t* argv[]) {
    startUp();
    // Every record of the run's own steps carries this label.
    const char* columns = ORV_LOG_COLUMNS();

    // Read before the marker is left: a value out of range ends the process
    // here, as every tweak does, with no run begun. The tweak files are the
    // caller's, as trusted as its command line.
    s_recordBoundBytes = AgentTweaks::runRecordMaxBytes();

    AgentArguments arguments;
    try {
        beginRecord();
        LOG(LogInfo) << "OrvelVssAgent.exe invoked." << std::endl;
        ArgsParserUtils::printArgs(argc, argv);
        if (int usageError = readCommandLine(argc, argv, arguments, columns))
            return endRun(usageError);

        const Outcome outcome = takeSnapshot(arguments, columns);
        if (!outcome.waitForReader)
            return endRun(outcome.exitCode);
        LOG(LogInfo) << "OrvelVssAgent.exe"
                     << " done."
                     << " ret=" << outcome.exitCode << " " << std::endl;
        // Keeps the section alive until the runner has read the status.
        RunRecord::current().readNotificationReceived = RunnerAgentSynchronizer::waitForSignal(
            AgentObjectNames::kReadNotificationEvent,
            static_cast<u32>(AgentTweaks::sharedMemoryReadTimeoutMsec()));
        endRun(outcome.exitCode);
        Logger::instance()->flush();
        return outcome.exitCode;
    } catch (const std::exception& e) {
        LOG(LogError) << "agent crushed for the following reason : " << e.what() << std::endl;
    } catch (...) {
        LOG(LogError) << "agent crushed for unknown reason " << std::endl;
    }
    endRun(kExitCrashed);
    Logger::instance()->flush();
    return kExitCrashed;
}
