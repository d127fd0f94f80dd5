#ifdef _WIN32
#include "ChildProcess.h"

#include "testbed/TestbedCommon.h"

#include <wchar.h>

namespace {
// The double-null terminated block for CreateProcessW.
std::wstring environmentBlock(const ChildOptions& options) {
    std::wstring block;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* p = current; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) {
        const std::wstring entry(p);
        const std::wstring name = entry.substr(0, entry.find(L'=', 1)); // "=C:=C:\dir" is named "=C:"
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
} // namespace

// The child writes to a temporary file rather than a pipe: it never blocks on
// a full pipe while the test does something else, and grandchildren that
// inherited the handle hold up nothing when it ends.
BackgroundChild::BackgroundChild(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                                 const ChildOptions& options) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    wchar_t folder[MAX_PATH] = L"", path[MAX_PATH] = L"";
    if (GetTempPathW(MAX_PATH, folder) != 0 && GetTempFileNameW(folder, L"out", 0, path) != 0)
        m_output.reset(CreateFileW(
            path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    WinHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inheritable, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdError = nul.get();
    startup.hStdOutput = m_output.get();
    std::wstring commandLine = quotedArgument(executable);
    for (const std::wstring& argument : arguments)
        commandLine += L" " + quotedArgument(argument);
    std::wstring environment = environmentBlock(options);
    PROCESS_INFORMATION info = {};
    if (!m_output.valid() ||
        !CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, &environment[0],
                        options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                        &startup, &info))
        return;
    // Children started later must not write into this one's output.
    SetHandleInformation(m_output.get(), HANDLE_FLAG_INHERIT, 0);
    WinHandle thread(info.hThread);
    m_process.reset(info.hProcess);
    m_processId = info.dwProcessId;
}

ChildResult BackgroundChild::finish(unsigned long timeoutMs) {
    if (m_finished || !m_process.valid())
        return m_result;
    m_finished = true;
    if (WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(m_process.get(), ChildProcess::kKilledExitCode);
        WaitForSingleObject(m_process.get(), 5000);
        m_result.timedOut = true;
    }
    GetExitCodeProcess(m_process.get(), &m_result.exitCode);
    char chunk[4096];
    DWORD got = 0;
    SetFilePointer(m_output.get(), 0, nullptr, FILE_BEGIN);
    while (ReadFile(m_output.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        m_result.output.append(chunk, got);
    return m_result;
}

ChildResult ChildProcess::run(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                              const ChildOptions& options) {
    return BackgroundChild(executable, arguments, options).finish(options.timeoutMs);
}
#endif
