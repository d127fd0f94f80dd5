#pragma once
// Runs a Windows program as a child of the test and collects what a caller of
// the agent would see: its standard output and its full 32-bit exit code
// (a shell under Wine sees only the low 8 bits).
#ifdef _WIN32
#include "windows/WinHandle.h"

#include <string>
#include <utility>
#include <vector>

struct ChildResult {
    bool timedOut = false;               // killed at the time-out with kKilledExitCode
    unsigned long exitCode = 0xFFFFFFFF; // -1 when the child never started
    std::string output;                  // unchanged bytes: a text-mode child writes "\r\n"

    int exitCodeSigned() const { return static_cast<int>(exitCode); }
};

struct ChildOptions {
    std::wstring workingDirectory; // empty: the test's own
    // Set in, or replacing (by name, in any case) entries of, the test's environment.
    std::vector<std::pair<std::wstring, std::wstring>> environment = {};
    unsigned long timeoutMs = 60000; // of ChildProcess::run
};

// A child started at construction, going on while the test does something
// else (starts a server, a second agent). Destroying it kills a child still
// running, so that none is left to hold named objects or the log files.
class BackgroundChild {
public:
    BackgroundChild(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                    const ChildOptions& options = ChildOptions());
    ~BackgroundChild() { finish(0); }

    bool running() const {
        return m_process.valid() && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
    }
    unsigned long processId() const { return m_processId; }
    // Waits up to `timeoutMs` for the child to end, killing it then, and
    // returns what it wrote and its exit code; later calls return the same.
    ChildResult finish(unsigned long timeoutMs);

private:
    ChildResult m_result;
    WinHandle m_output, m_process;
    unsigned long m_processId = 0;
    bool m_finished = false;
};

namespace ChildProcess {
const unsigned long kKilledExitCode = 0xDEAD;

ChildResult run(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                const ChildOptions& options = ChildOptions());
} // namespace ChildProcess
#endif
