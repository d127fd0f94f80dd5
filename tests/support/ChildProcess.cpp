#ifdef _WIN32
#include "ChildProcess.h"

#include "UniqueHandle.h"

#include <wchar.h>

#include <memory>

namespace {
// After the child ended, grandchildren that inherited the pipe may keep it
// open; their output is not waited for longer than this.
const ULONGLONG kDrainAfterExitMs = 2000;
const DWORD kPollMs = 5;

struct EnvironmentBlockFree {
    void operator()(wchar_t* block) const { FreeEnvironmentStringsW(block); }
};

std::wstring nameOf(const std::wstring& entry) {
    // Entries such as "=C:=C:\dir" begin with '='; their name includes it.
    size_t eq = entry.find(L'=', 1);
    return entry.substr(0, eq);
}

// The test's environment with the options' variables set, as the double-null
// terminated block that CreateProcessW takes.
std::wstring environmentBlock(const ChildOptions& options) {
    std::vector<std::wstring> entries;
    std::unique_ptr<wchar_t, EnvironmentBlockFree> current(GetEnvironmentStringsW());
    for (const wchar_t* p = current.get(); p != nullptr && *p != L'\0'; p += wcslen(p) + 1)
        entries.emplace_back(p);
    for (const auto& variable : options.environment) {
        std::wstring entry = variable.first + L"=" + variable.second;
        bool replaced = false;
        for (std::wstring& existing : entries) {
            if (_wcsicmp(nameOf(existing).c_str(), variable.first.c_str()) == 0) {
                existing = entry;
                replaced = true;
            }
        }
        if (!replaced)
            entries.push_back(entry);
    }
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// Moves whatever the pipe holds into `output`. False once every writer has
// closed its end and nothing is left.
bool drainAvailable(HANDLE pipe, std::string& output) {
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return false;
        if (available == 0)
            return true;
        char buffer[4096];
        DWORD got = 0;
        DWORD wanted = available < sizeof(buffer) ? available : static_cast<DWORD>(sizeof(buffer));
        if (!ReadFile(pipe, buffer, wanted, &got, nullptr))
            return false;
        output.append(buffer, got);
    }
}
} // namespace

std::wstring ChildProcess::quoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless they precede a quote.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring ChildProcess::currentExecutable() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring ChildProcess::currentExecutableFolder() {
    std::wstring path = currentExecutable();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

ChildResult ChildProcess::run(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                              const ChildOptions& options) {
    ChildResult result;

    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    UniqueHandle readEnd;
    UniqueHandle writeEnd;
    if (!CreatePipe(readEnd.receive(), writeEnd.receive(), &inheritable, 0) ||
        !SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
        result.error = GetLastError();
        return result;
    }
    UniqueHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inheritable, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.get();
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = nul.get();

    std::wstring commandLine = quoteArgument(executable);
    for (const std::wstring& argument : arguments)
        commandLine += L" " + quoteArgument(argument);
    std::wstring environment = environmentBlock(options);

    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, &environment[0],
                        options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                        &startup, &info)) {
        result.error = GetLastError();
        return result;
    }
    result.started = true;
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    // Only the child holds the write end now, so the pipe breaks when it ends.
    writeEnd.reset();

    const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    ULONGLONG exitedAt = 0;
    while (drainAvailable(readEnd.get(), result.output)) {
        if (exitedAt == 0 && WaitForSingleObject(process.get(), kPollMs) == WAIT_OBJECT_0)
            exitedAt = GetTickCount64();
        else if (exitedAt != 0)
            Sleep(kPollMs);
        ULONGLONG now = GetTickCount64();
        if (exitedAt != 0 && now - exitedAt > kDrainAfterExitMs)
            break;
        if (exitedAt == 0 && now > deadline) {
            TerminateProcess(process.get(), kKilledExitCode);
            result.timedOut = true;
            WaitForSingleObject(process.get(), INFINITE);
            exitedAt = GetTickCount64();
        }
    }
    // The pipe may break before the child ends (it closed its output).
    ULONGLONG now = GetTickCount64();
    DWORD remaining = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(process.get(), remaining) == WAIT_TIMEOUT) {
        TerminateProcess(process.get(), kKilledExitCode);
        result.timedOut = true;
        WaitForSingleObject(process.get(), INFINITE);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    result.exitCode = exitCode;
    return result;
}
#endif
