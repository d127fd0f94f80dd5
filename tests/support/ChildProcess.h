#pragma once
// Runs a Windows program as a child of the test and collects what a caller of
// the agent would see: its standard output and its full 32-bit exit code
// (a shell under Wine sees only the low 8 bits). `run` waits for it;
// `BackgroundChild` lets the test go on meanwhile, e.g. to start a server
// and an agent, or two agents, at once.
#ifdef _WIN32
#include <memory>
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
    std::vector<std::pair<std::wstring, std::wstring>> environment;
    unsigned long timeoutMs = 60000; // of `run`; a BackgroundChild is given its own in finish()
};

// A child started at construction, its standard output kept in a file.
// Destroying it kills a child still running.
class BackgroundChild {
public:
    BackgroundChild(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                    const ChildOptions& options = ChildOptions());
    ~BackgroundChild();

    bool running() const;
    unsigned long processId() const;
    // Waits up to `timeoutMs` for the child to end, killing it then with
    // ChildProcess::kKilledExitCode, and returns what it wrote and its exit
    // code. Later calls return the same result at once.
    ChildResult finish(unsigned long timeoutMs);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

namespace ChildProcess {
const unsigned long kKilledExitCode = 0xDEAD;

ChildResult run(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                const ChildOptions& options = ChildOptions());
// The test executable's folder, with a trailing backslash.
std::wstring currentExecutableFolder();
} // namespace ChildProcess
#endif
