#pragma once
// Runs a Windows program as a child of the test and collects what a caller of
// the agent would see: its standard output and its full 32-bit exit code.
// (A shell under Wine sees only the low 8 bits of an exit code.)
#ifdef _WIN32
#include <string>
#include <utility>
#include <vector>

struct ChildResult {
    // False when the child could not be created; `error` holds GetLastError.
    bool started = false;
    unsigned long error = 0;
    // The child ran past its time-out and was terminated.
    bool timedOut = false;
    // GetExitCodeProcess, all 32 bits; exitCodeSigned() reads it as the int
    // that the program returned.
    unsigned long exitCode = 0;
    // The bytes written to standard output, unchanged (a text-mode child
    // writes "\r\n" line ends).
    std::string output;

    int exitCodeSigned() const { return static_cast<int>(exitCode); }
};

struct ChildOptions {
    // Empty: the test's own working directory.
    std::wstring workingDirectory;
    // Set in (or, when the name exists, replace in) the test's environment.
    std::vector<std::pair<std::wstring, std::wstring>> environment;
    unsigned long timeoutMs = 60000;
};

class ChildProcess {
public:
    // Exit code given to a child that is killed at its time-out.
    static const unsigned long kKilledExitCode = 0xDEAD;

    static ChildResult run(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                           const ChildOptions& options = ChildOptions());

    // One argument quoted so that the child's C runtime reads it back unchanged.
    static std::wstring quoteArgument(const std::wstring& argument);
    // Full path of the running test executable, and of its folder (with a
    // trailing backslash).
    static std::wstring currentExecutable();
    static std::wstring currentExecutableFolder();
};
#endif
