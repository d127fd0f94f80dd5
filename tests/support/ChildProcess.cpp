#ifdef _WIN32
#include "ChildProcess.h"

#include "testbed/TestbedCommon.h"
#include "windows/WinHandle.h"

#include <atomic>
#include <mutex>
#include <wchar.h>

namespace {
// Grandchildren that inherited the pipe may keep it open after the child
// ended; their output is not waited for longer than this.
const ULONGLONG kDrainAfterExitMs = 2000;
const DWORD kPollMs = 5;
// A killed child is gone at once; this bounds the wait should it not be.
const DWORD kKillWaitMs = 5000;

// The double-null terminated block for CreateProcessW.
std::wstring environmentBlock(const ChildOptions& options) {
    std::wstring block;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* p = current; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) {
        std::wstring entry(p);
        std::wstring name = entry.substr(0, entry.find(L'=', 1)); // "=C:=C:\dir" is named "=C:"
        bool replaced = false;
        for (const auto& variable : options.environment)
            replaced = replaced || _wcsicmp(name.c_str(), variable.first.c_str()) == 0;
        if (!replaced)
            block += entry + L'\0';
    }
    FreeEnvironmentStringsW(current);
    for (const auto& variable : options.environment)
        block += variable.first + L"=" + variable.second + L'\0';
    return block + L'\0';
}

// The write end is closed on return, so that only the child holds it and the
// pipe breaks when the child ends.
bool start(const std::wstring& executable, std::wstring commandLine, const ChildOptions& options,
           HANDLE writeEnd, PROCESS_INFORMATION& info) {
    WinHandle output(writeEnd);
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    WinHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inheritable, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdError = nul.get();
    startup.hStdOutput = output.get();
    std::wstring environment = environmentBlock(options);
    return CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                          CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, &environment[0],
                          options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                          &startup, &info);
}
} // namespace

std::wstring ChildProcess::currentExecutableFolder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// The reader thread drains the pipe from the start, so that a child that
// writes much never blocks while the test waits for something else. It
// blocks in ReadFile, which fails once every holder of the write end has
// gone, or when finish() cancels it.
struct BackgroundChild::State {
    ChildResult result;
    WinHandle readEnd, process, reader;
    DWORD processId = 0;
    std::mutex outputLock;
    std::string output;
    std::atomic<bool> stop{false};
    bool finished = false;

    static DWORD WINAPI read(void* context) {
        State& state = *static_cast<State*>(context);
        char chunk[4096];
        DWORD got = 0;
        while (!state.stop && ReadFile(state.readEnd.get(), chunk, sizeof(chunk), &got, nullptr)) {
            std::lock_guard<std::mutex> lock(state.outputLock);
            state.output.append(chunk, got);
        }
        return 0;
    }

    void finish(unsigned long timeoutMs) {
        if (finished || !result.started)
            return;
        finished = true;
        if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), ChildProcess::kKilledExitCode);
            WaitForSingleObject(process.get(), kKillWaitMs);
            result.timedOut = true;
        }
        if (WaitForSingleObject(reader.get(), kDrainAfterExitMs) != WAIT_OBJECT_0) {
            // A cancel that comes between two reads finds nothing to cancel:
            // repeated until the reader has seen `stop`.
            stop = true;
            while (WaitForSingleObject(reader.get(), kPollMs) != WAIT_OBJECT_0)
                CancelSynchronousIo(reader.get());
        }
        DWORD exitCode = 0;
        GetExitCodeProcess(process.get(), &exitCode);
        result.exitCode = exitCode;
        std::lock_guard<std::mutex> lock(outputLock);
        result.output = output;
    }

    // A child still running when the test lets go of it is killed, never left
    // behind to hold named objects or the log files.
    ~State() { finish(0); }
};

BackgroundChild::BackgroundChild(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                                 const ChildOptions& options)
    : m_state(new State) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &inheritable, 0)) {
        m_state->result.error = GetLastError();
        return;
    }
    m_state->readEnd.reset(readRaw);
    SetHandleInformation(readRaw, HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = quotedArgument(executable);
    for (const std::wstring& argument : arguments)
        commandLine += L" " + quotedArgument(argument);
    PROCESS_INFORMATION info = {};
    if (!start(executable, commandLine, options, writeRaw, info)) {
        m_state->result.error = GetLastError();
        return;
    }
    WinHandle thread(info.hThread);
    m_state->process.reset(info.hProcess);
    m_state->processId = info.dwProcessId;
    m_state->reader.reset(CreateThread(nullptr, 0, &State::read, m_state.get(), 0, nullptr));
    if (!m_state->reader.valid()) {
        m_state->result.error = GetLastError();
        TerminateProcess(info.hProcess, ChildProcess::kKilledExitCode);
        return;
    }
    m_state->result.started = true;
}

BackgroundChild::~BackgroundChild() = default;

bool BackgroundChild::running() const {
    return m_state->result.started && WaitForSingleObject(m_state->process.get(), 0) == WAIT_TIMEOUT;
}

unsigned long BackgroundChild::processId() const {
    return m_state->processId;
}

ChildResult BackgroundChild::finish(unsigned long timeoutMs) {
    m_state->finish(timeoutMs);
    return m_state->result;
}

ChildResult ChildProcess::run(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                              const ChildOptions& options) {
    return BackgroundChild(executable, arguments, options).finish(options.timeoutMs);
}
#endif
