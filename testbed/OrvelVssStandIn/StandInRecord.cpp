#include "StandInRecord.h"

#include "../TestbedCommon.h"

#include <cstdio>
#include <mutex>

namespace {
// Opened on the first line and kept for the life of the process: the DLL is
// pinned, so it is never unloaded under a writer.
class RecordFile {
public:
    void write(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_opened) {
            m_opened = true;
            wchar_t path[MAX_PATH * 4];
            DWORD length = GetEnvironmentVariableW(L"ORVEL_VSS_STANDIN_RECORD", path, MAX_PATH * 4);
            if (length > 0 && length < MAX_PATH * 4)
                m_file.reset(CreateFileW(path, FILE_APPEND_DATA,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        if (!m_file.valid())
            return;
        DWORD written = 0;
        WriteFile(m_file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }

private:
    std::mutex m_lock;
    bool m_opened = false;
    Handle m_file;
};

RecordFile& recordFile() {
    // Never destroyed: asynchronous operations may still record while the
    // process's static objects are being torn down.
    static RecordFile* file = new RecordFile;
    return *file;
}

std::string printable(std::string value) {
    for (char& c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return value;
}
} // namespace

std::string hrText(HRESULT value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

std::string guidText(const GUID& value) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", value.Data1,
                  value.Data2, value.Data3, value.Data4[0], value.Data4[1], value.Data4[2], value.Data4[3],
                  value.Data4[4], value.Data4[5], value.Data4[6], value.Data4[7]);
    return text;
}

std::string utf8(const wchar_t* value) {
    if (value == nullptr || *value == L'\0')
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value, -1, &text[0], length, nullptr, nullptr);
    text.resize(static_cast<size_t>(length) - 1);
    return text;
}

RecordLine::RecordLine(unsigned session) {
    m_line = "time=" + utcNow() + "\tpid=" + std::to_string(GetCurrentProcessId()) +
             "\tsession=" + std::to_string(session);
}

RecordLine& RecordLine::field(const char* name, const std::string& value) {
    m_line += std::string("\t") + name + "=" + printable(value);
    return *this;
}

RecordLine& RecordLine::text(const char* name, const wchar_t* value) {
    return field(name, value == nullptr ? "(null)" : utf8(value));
}

RecordLine& RecordLine::number(const char* name, unsigned long long value) {
    return field(name, std::to_string(value));
}

RecordLine& RecordLine::hr(const char* name, HRESULT value) {
    return field(name, hrText(value));
}

RecordLine& RecordLine::guid(const char* name, const GUID& value) {
    return field(name, guidText(value));
}

void RecordLine::write() {
    recordFile().write(m_line + "\n");
}
