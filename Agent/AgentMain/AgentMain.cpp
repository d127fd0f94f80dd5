// Process entry of the VSS agent: one run takes one snapshot.
#include "AgentCommon/AgentArguments.h"
#include "AgentCommon/AgentInitializer.h"
#include "AgentCommon/ArgsParserUtils.h"
#include "AgentCommon/ArgumentsParser.h"
#include "Log.h"
#include "MemShieldSwitch.h"
#include "Tweaks.h"

#include <exception>
#include <string>
#include <vector>

namespace {
const int kExitCrashed = -1004;
} // namespace

int wmain(int argc, wchar_t* argv[]) {
    const std::string logFileName = "OrvelVssAgent.exe.log";

    // No log client exists yet: what the tweak store reports while it loads
    // its files reaches no file.
    AgentInitializer::setTweakDefaults();
    // Set before the first tracked allocation and before any other thread.
    g_memShieldEnabled = Tweaks::instance()->intVal("t_enableMemshield", 0) != 0;

    AgentInitializer::initLog(logFileName);

    Tweaks::instance()->print();

    AgentArguments arguments;
    int exitCode = 0;
    try {
        LOG(LogInfo) << "OrvelVssAgent.exe invoked." << std::endl;
        ArgsParserUtils::printArgs(argc, argv);
        arguments.clear();

        if (argc > 1 && std::wstring(argv[1]) == L"-ExternallyInitiated") {
            arguments.m_externallyInitiated = true;
            arguments.m_snapshotFlow.m_argsRequester.m_backupType = -1;
            arguments.m_snapshotFlow.m_argsRequester.m_volumes.clear();
        } else {
            // The parser sees the program name followed by what came after "-GUI".
            std::vector<const wchar_t*> parseArgv(argv, argv + argc);
            if (argc > 1 && std::wstring(argv[1]) == L"-GUI") {
                arguments.m_gui = true;
                parseArgv.erase(parseArgv.begin() + 1);
            }
            int r = ParseDr(static_cast<int>(parseArgv.size()), parseArgv.data(), arguments);
            if (r != 0) {
                LOG(LogError) << "ArgumentsParser failed"
                              << " ret=" << r << " " << std::endl;
                return r;
            }
        }

        LOG(LogInfo) << "OrvelVssAgent.exe"
                     << " done."
                     << " ret=" << exitCode << " " << std::endl;
        Logger::instance()->flush();
        return exitCode;
    } catch (const std::exception& e) {
        LOG(LogError) << "agent crushed for the following reason : " << e.what() << std::endl;
    } catch (...) {
        LOG(LogError) << "agent crushed for unknown reason " << std::endl;
    }
    Logger::instance()->flush();
    return kExitCrashed;
}
