#pragma once
// Runs a Windows program as a child of the test and collects what a caller of
// the agent would see: its standard output and its full 32-bit exit code
// (a shell under Wine sees only the low 8 bits).
#ifdef _WIN32
#include <string>
#include <utility>
#include <vector>

struct ChildResult {
    bool started = false;
    unsigned long error = 0; // GetLastError when not started
    bool timedOut = false;   // killed at the time-out with kKilledExitCode
    unsigned long exitCode = 0;
    std::string output; // unchanged bytes: a text-mode child writes "\r\n"

    int exitCodeSigned() const { return static_cast<int>(exitCode); }
};

struct ChildOptions {
    std::wstring workingDirectory; // empty: the test's own
    // Set in, or replacing (by name, in any case) entries of, the test's environment.
    std::vector<std::pair<std::wstring, std::wstring>> environment;
    unsigned long timeoutMs = 60000;
};

namespace ChildProcess {
const unsigned long kKilledExitCode = 0xDEAD;

ChildResult run(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                const ChildOptions& options = ChildOptions());
// The test executable's folder, with a trailing backslash.
std::wstring currentExecutableFolder();
} // namespace ChildProcess
#endif
