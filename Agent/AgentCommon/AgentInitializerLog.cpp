// The Windows half of AgentInitializer: where the log files live.
#include "AgentInitializer.h"

#include "AgentCommon/AgentTweaks.h"
#include "FileLoggerClient.h"
#include "Log.h"
#include "TrackedNew.h"

#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace {
// Common application data, created when missing.
const int kCommonAppDataFolder = 0x8023;
const u32 kCurrentLogMemoryLimitMb = 1;
} // namespace

void AgentInitializer::initLog(const std::string& logFileName) {
    char path[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, kCommonAppDataFolder, nullptr, 0, path)))
        return;
    if (!PathAppendA(path, "Orvel"))
        return;
    if (!CreateDirectoryA(path, nullptr)) {
        DWORD lastError = GetLastError();
        if (lastError != ERROR_ALREADY_EXISTS) {
            std::cout << "failed to create directory"
                      << " lastError=" << lastError << " " << std::endl;
            return;
        }
    }
    // The "logs" folder itself is created by the file logger.
    if (!PathAppendA(path, "logs") || !PathAppendA(path, logFileName.c_str()))
        return;

    const std::string mainLog = path;
    u32 memoryLimitMb = static_cast<u32>(AgentTweaks::logMemoryLimitMb());
    // Allocated once and never freed: the clients and their writer threads
    // live until the process ends. This is the run's first tracked
    // allocation: it creates MemShield.
    Logger::instance()->registerClient(ORV_NEW(FileLoggerClient)(mainLog, memoryLimitMb, 0, ""),
                                       kAllLevelsMask);

    const std::string currentLog = currentLogPath(mainLog);
    const std::string currentFile = currentLog + ".txt";
    if (std::remove(currentFile.c_str()) != 0 && errno != ENOENT) {
        int err = errno;
        std::cout << "Error removing file name=" << currentFile << " err=" << err << "(" << std::strerror(err)
                  << ")" << std::endl;
    }
    Logger::instance()->registerClient(ORV_NEW(FileLoggerClient)(currentLog, kCurrentLogMemoryLimitMb, 0, ""),
                                       kAllLevelsMask);
}
