#pragma once
// What the stand-in programs share: an owner for every kind of OS handle they
// hold, the strict number parsing of their command lines, and the time stamp
// of their records. They stand for
// parties outside the agent, so they use none of the agent's own code.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>

// Sole owner of one OS resource; Traits names its empty value and how it is
// released.
template <typename Traits> class Owned {
public:
    using Value = typename Traits::Value;

    explicit Owned(Value value = Traits::empty()) : m_value(value) {}
    ~Owned() { reset(); }
    Owned(Owned&& other) noexcept : m_value(std::exchange(other.m_value, Traits::empty())) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            m_value = std::exchange(other.m_value, Traits::empty());
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    Value get() const { return m_value; }
    bool valid() const { return Traits::valid(m_value); }
    void reset(Value value = Traits::empty()) {
        if (valid())
            Traits::release(m_value);
        m_value = value;
    }

private:
    Value m_value;
};

struct KernelHandleTraits {
    using Value = HANDLE;
    static HANDLE empty() { return nullptr; }
    // Calls disagree on how they fail: some give NULL, some INVALID_HANDLE_VALUE.
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void release(HANDLE h) { CloseHandle(h); }
};
using Handle = Owned<KernelHandleTraits>;

// A mapped view of a file mapping.
struct ViewTraits {
    using Value = void*;
    static void* empty() { return nullptr; }
    static bool valid(void* view) { return view != nullptr; }
    static void release(void* view) { UnmapViewOfFile(view); }
};
using View = Owned<ViewTraits>;

// A whole non-negative decimal number that fits in `out`; anything else
// (sign, blanks, trailing text, overflow) is a usage error.
inline bool parseNumber(const wchar_t* text, unsigned long& out, unsigned long max = 0xFFFFFFFFul) {
    if (text == nullptr || *text < L'0' || *text > L'9')
        return false;
    unsigned long long value = 0;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (*p < L'0' || *p > L'9')
            return false;
        value = value * 10 + static_cast<unsigned>(*p - L'0');
        if (value > max)
            return false;
    }
    out = static_cast<unsigned long>(value);
    return true;
}

// Quoted so that the C runtime of the program started reads it back
// unchanged: backslashes are literal unless they precede a quote.
inline std::wstring quotedArgument(const std::wstring& argument) {
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

// A command line of "--help" or "/?" alone: prints `help` and returns true.
inline bool printedHelp(int argc, wchar_t** argv, const char* help) {
    if (argc != 2 || (std::wcscmp(argv[1], L"--help") != 0 && std::wcscmp(argv[1], L"/?") != 0))
        return false;
    std::fputs(help, stdout);
    return true;
}

// This executable's full path.
inline std::wstring ownExecutablePath() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path;
}

// UTC now in the form of the agent's log records, so that what a stand-in
// recorded can be placed among the agent's records.
inline std::string utcNow() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}
