#include "AgentCommon/WindowsEventLog.h"

#include "AgentCommon/EventSourceValues.h"
#include "AgentCommon/RunEventReporter.h"
#include "VssRequester/RegistryKey.h"

#include <string>
#include <vector>

namespace {
// A value that is longer than any path is not ours, whatever it holds.
const DWORD kMaxValueBytes = 65536;

std::wstring executablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size())
            return path.substr(0, length);
        if (path.size() >= 32768)
            return std::wstring();
        path.resize(path.size() * 2);
    }
}

// The value's type and bytes; type 0 and no bytes when it is missing, too
// long or unreadable.
void readValue(HKEY key, const wchar_t* name, DWORD& type, std::vector<u8>& bytes) {
    bytes.assign(512, 0);
    DWORD size = static_cast<DWORD>(bytes.size());
    LONG result = RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size);
    if (result == ERROR_MORE_DATA && size <= kMaxValueBytes) {
        bytes.assign(size, 0);
        result = RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size);
    }
    if (result != ERROR_SUCCESS || size > bytes.size()) {
        type = 0;
        bytes.clear();
        return;
    }
    bytes.resize(size);
}

// For a call that failed: its error, never 0.
u32 lastError() {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

std::wstring wideText(const std::string& utf8) {
    if (utf8.empty())
        return std::wstring();
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}
} // namespace

u32 WindowsEventLog::registerSource() {
    const std::wstring exe = executablePath();
    if (exe.empty())
        return lastError();
    RegistryKey key;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.out(), nullptr);
    if (result != ERROR_SUCCESS)
        return static_cast<u32>(result);

    DWORD fileType = 0, typesType = 0;
    std::vector<u8> fileBytes, typesBytes;
    readValue(key.get(), L"EventMessageFile", fileType, fileBytes);
    readValue(key.get(), L"TypesSupported", typesType, typesBytes);
    if (EventSourceValues::current(fileType, fileBytes, typesType, typesBytes,
                                   std::u16string(exe.begin(), exe.end())))
        return 0;

    result = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(exe.c_str()),
                            static_cast<DWORD>((exe.size() + 1) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS)
        return static_cast<u32>(result);
    const DWORD types = EventSourceValues::kTypesSupported;
    result = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                            sizeof(types));
    return static_cast<u32>(result);
}

u32 WindowsEventLog::write(const RunEvent& event) {
    if (!m_source.valid()) {
        m_source.reset(RegisterEventSourceW(nullptr, RunEventReporter::kSourceName));
        if (!m_source.valid())
            return lastError();
    }
    std::vector<std::wstring> texts;
    for (const std::string& text : event.strings)
        texts.push_back(wideText(text));
    std::vector<const wchar_t*> strings;
    for (const std::wstring& text : texts)
        strings.push_back(text.c_str());
    if (!ReportEventW(m_source.get(), static_cast<WORD>(event.type), 0, event.id, nullptr,
                      static_cast<WORD>(strings.size()), 0, strings.empty() ? nullptr : strings.data(),
                      nullptr))
        return lastError();
    return 0;
}
