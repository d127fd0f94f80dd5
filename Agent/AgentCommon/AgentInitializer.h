#pragma once
// Start-up steps of the agent that come before the command line is read
// (the tweak defaults are AgentTweaks's).
#include <string>

class AgentInitializer {
public:
    // Windows only. Registers two file log clients for all levels in
    // <common application data>\Orvel\logs: the main log `logFileName`, which
    // keeps growing across runs, and its ".current" companion, emptied first
    // so that it holds this run only. No log exists yet, so failures are
    // reported on standard output; the agent then runs without that log.
    static void initLog(const std::string& logFileName);

    // `path` with ".current" put before its last extension:
    // "a\\b.exe.log" -> "a\\b.exe.current.log". A path without any "." gets
    // ".current" appended.
    static std::string currentLogPath(const std::string& path);
};
