#ifdef _WIN32
#include "ChildProcess.h"

#include "windows/WinHandle.h"

#include <wchar.h>

namespace {
// Grandchildren that inherited the pipe may keep it open after the child
// ended; their output is not waited for longer than this.
const ULONGLONG kDrainAfterExitMs = 2000;
const DWORD kPollMs = 5;

// Quoted so that the child's C runtime reads it back unchanged: backslashes
// are literal unless they precede a quote.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    return out.append(backslashes * 2, L'\\') + L"\"";
}

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

ChildResult ChildProcess::run(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                              const ChildOptions& options) {
    ChildResult result;
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &inheritable, 0)) {
        result.error = GetLastError();
        return result;
    }
    WinHandle readEnd(readRaw);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = quoted(executable);
    for (const std::wstring& argument : arguments)
        commandLine += L" " + quoted(argument);
    PROCESS_INFORMATION info = {};
    if (!start(executable, commandLine, options, writeRaw, info)) {
        result.error = GetLastError();
        return result;
    }
    result.started = true;
    WinHandle process(info.hProcess), thread(info.hThread);

    const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    ULONGLONG exitedAt = 0;
    for (;;) {
        DWORD available = 0;
        bool open = PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr);
        if (open && available > 0) {
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (ReadFile(readEnd.get(), &chunk[0], available, &got, nullptr)) {
                result.output.append(chunk, 0, got);
                continue;
            }
            open = false;
        }
        bool exited = WaitForSingleObject(process.get(), kPollMs) == WAIT_OBJECT_0;
        ULONGLONG now = GetTickCount64();
        if (exited && exitedAt == 0)
            exitedAt = now;
        if (exited && (!open || now - exitedAt > kDrainAfterExitMs))
            break;
        if (exited)
            Sleep(kPollMs);
        else if (now > deadline && !result.timedOut) {
            TerminateProcess(process.get(), kKilledExitCode);
            result.timedOut = true;
        }
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    result.exitCode = exitCode;
    return result;
}
#endif
