// bcdedit.exe (test stand-in), built into a folder of its own that a test puts
// first on the agent's PATH: the agent's boot-status policy commands reach it
// through the command interpreter instead of the machine's boot store. It
// records how it was called and exits with the code a test chose.
//
// Environment:
//   ORVEL_BCDEDIT_RECORD  the record file (default: bcdedit.record.txt beside this program)
//   ORVEL_BCDEDIT_EXIT    the exit code, a signed decimal (default 0)
//   ORVEL_BCDEDIT_OUTPUT  a line to write to standard output (default: nothing)
// Record: one line per call, appended with one write, tab-separated, ended by "\n":
//   time=<UTC YYYY-MM-DD hh:mm:ss.mmm>\tpid=<n>\targs=<arguments joined by single blanks>\t
//   cmdline=<the command line as received>\texit=<n>
#include "TestbedCommon.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
std::wstring variable(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    DWORD length = GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

std::string utf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length, nullptr,
                        nullptr);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    return out;
}

// A signed 32-bit decimal; anything else leaves `code` unchanged.
bool parseExitCode(const std::wstring& text, int& code) {
    if (text.empty())
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    long long value = std::wcstoll(text.c_str(), &end, 10);
    if (*end != L'\0' || errno != 0 || value < -2147483648ll || value > 2147483647ll)
        return false;
    code = static_cast<int>(value);
    return true;
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    int exitCode = 0;
    const std::wstring exitText = variable(L"ORVEL_BCDEDIT_EXIT");
    if (!exitText.empty() && !parseExitCode(exitText, exitCode)) {
        std::fprintf(stderr, "bcdedit stand-in: ORVEL_BCDEDIT_EXIT is not a signed decimal\n");
        exitCode = 87;
    }
    std::wstring arguments;
    for (int i = 1; i < argc; ++i)
        arguments += (i > 1 ? L" " : L"") + std::wstring(argv[i]);
    const std::string line = "time=" + utcNow() + "\tpid=" + std::to_string(GetCurrentProcessId()) +
                             "\targs=" + utf8(arguments) + "\tcmdline=" + utf8(GetCommandLineW()) +
                             "\texit=" + std::to_string(exitCode) + "\n";

    std::wstring recordPath = variable(L"ORVEL_BCDEDIT_RECORD");
    if (recordPath.empty()) {
        const std::wstring self = ownExecutablePath();
        recordPath = self.substr(0, self.find_last_of(L"\\/") + 1) + L"bcdedit.record.txt";
    }
    Handle record(CreateFileW(recordPath.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!record.valid() ||
        !WriteFile(record.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        // Failing loudly: a call that left no trace must not look like one that never happened.
        std::fprintf(stderr, "bcdedit stand-in: cannot record to %s (error %lu)\n", utf8(recordPath).c_str(),
                     GetLastError());
        return 2;
    }
    const std::wstring output = variable(L"ORVEL_BCDEDIT_OUTPUT");
    if (!output.empty())
        std::printf("%s\n", utf8(output).c_str());
    return exitCode;
}
