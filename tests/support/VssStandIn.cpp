#ifdef _WIN32
#include "VssStandIn.h"

#include "ChildProcess.h"
#include "TempWorkingDir.h"

#include <windows.h>

#include <algorithm>
#include <sstream>

namespace {
const wchar_t kOverrideKey[] = L"Software\\Wine\\AppDefaults\\OrvelVssAgent.exe\\DllOverrides";
const wchar_t kOverrideAppKey[] = L"Software\\Wine\\AppDefaults\\OrvelVssAgent.exe";
const wchar_t kReliabilityKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";
const wchar_t kStampValue[] = L"LastAliveStamp";
const wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t kRunOnceValue[] = L"OrvelVssAgent";

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (m_key != nullptr)
            RegCloseKey(m_key);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool open(HKEY root, const wchar_t* path, REGSAM access) {
        return RegOpenKeyExW(root, path, 0, access, &m_key) == ERROR_SUCCESS;
    }
    bool create(HKEY root, const wchar_t* path) {
        return RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr) ==
               ERROR_SUCCESS;
    }
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

std::wstring wide(const std::string& text) {
    if (text.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
    return out;
}

std::string utf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length, nullptr,
                        nullptr);
    return out;
}

std::vector<StandInFields> readRecord(const std::string& path) {
    std::vector<StandInFields> lines;
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return lines;
    std::istringstream in(TempWorkingDir::readFile(path));
    for (std::string line; std::getline(in, line);) {
        StandInFields fields;
        std::istringstream pieces(line);
        for (std::string piece; std::getline(pieces, piece, '\t');) {
            size_t eq = piece.find('=');
            if (eq != std::string::npos)
                fields[piece.substr(0, eq)] = piece.substr(eq + 1);
        }
        lines.push_back(fields);
    }
    return lines;
}

// The folder of the bcdedit stand-in: testbed-path beside the folder of the
// test executables.
std::wstring bcdeditFolder() {
    std::wstring bin = ChildProcess::currentExecutableFolder();
    bin.pop_back();
    return bin.substr(0, bin.find_last_of(L"\\/") + 1) + L"testbed-path";
}

// Leaves a key that holds anything, e.g. an override someone else set.
void deleteKeyIfEmpty(const wchar_t* path) {
    RegistryKey key;
    DWORD subkeys = 0, values = 0;
    if (!key.open(HKEY_CURRENT_USER, path, KEY_QUERY_VALUE) ||
        RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        subkeys != 0 || values != 0)
        return;
    RegDeleteKeyW(HKEY_CURRENT_USER, path);
}

std::wstring currentVariable(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    DWORD length = GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}
} // namespace

VssStandIn::VssStandIn(const std::string& folder)
    : m_config(folder + "\\vss-standin.cfg"), m_record(folder + "\\vss-standin.record"),
      m_bcdeditRecord(folder + "\\bcdedit.record") {
    configure("");
}

VssStandIn::~VssStandIn() {
    if (!m_overrideSet)
        return;
    RegistryKey key;
    if (key.open(HKEY_CURRENT_USER, kOverrideKey, KEY_SET_VALUE))
        RegDeleteValueW(key.get(), L"vssapi");
    deleteKeyIfEmpty(kOverrideKey);
    deleteKeyIfEmpty(kOverrideAppKey);
}

void VssStandIn::configure(const std::string& lines) const {
    TempWorkingDir::writeFile(m_config, lines);
}

void VssStandIn::clearRecords() const {
    DeleteFileA(m_record.c_str());
    DeleteFileA(m_bcdeditRecord.c_str());
}

bool VssStandIn::loadForAgent() {
    RegistryKey key;
    const wchar_t native[] = L"native";
    if (!key.create(HKEY_CURRENT_USER, kOverrideKey) ||
        RegSetValueExW(key.get(), L"vssapi", 0, REG_SZ, reinterpret_cast<const BYTE*>(native),
                       sizeof(native)) != ERROR_SUCCESS)
        return false;
    m_overrideSet = true;
    return true;
}

std::vector<std::pair<std::wstring, std::wstring>> VssStandIn::environment() const {
    return {{L"ORVEL_VSS_STANDIN_CONFIG", wide(m_config)},
            {L"ORVEL_VSS_STANDIN_RECORD", wide(m_record)},
            {L"PATH", bcdeditFolder() + L";" + currentVariable(L"PATH")},
            {L"ORVEL_BCDEDIT_RECORD", wide(m_bcdeditRecord)},
            {L"ORVEL_BCDEDIT_EXIT", std::to_wstring(m_bcdeditExitCode)}};
}

std::vector<StandInFields> VssStandIn::record() const {
    return readRecord(m_record);
}

std::vector<StandInFields> VssStandIn::session(int number, const std::string& pid) const {
    std::vector<StandInFields> lines;
    for (const StandInFields& line : record())
        if (line.count("session") != 0 && line.at("session") == std::to_string(number) &&
            (pid.empty() || (line.count("pid") != 0 && line.at("pid") == pid)))
            lines.push_back(line);
    return lines;
}

std::vector<std::string> VssStandIn::processes() const {
    std::vector<std::string> pids;
    for (const StandInFields& line : record()) {
        auto pid = line.find("pid");
        if (pid != line.end() && std::find(pids.begin(), pids.end(), pid->second) == pids.end())
            pids.push_back(pid->second);
    }
    return pids;
}

std::vector<std::string> VssStandIn::calls(int sessionNumber, const std::string& pid) const {
    std::vector<std::string> names;
    for (const StandInFields& line : session(sessionNumber, pid)) {
        auto call = line.find("call");
        if (call == line.end())
            continue;
        auto op = line.find("op");
        names.push_back(op == line.end() ? call->second : call->second + ":" + op->second);
    }
    return names;
}

StandInFields VssStandIn::find(int sessionNumber, const std::string& name, const std::string& value,
                               const std::string& pid) const {
    for (const StandInFields& line : session(sessionNumber, pid)) {
        auto field = line.find(name);
        if (field != line.end() && (value.empty() || field->second == value))
            return line;
    }
    return StandInFields();
}

std::vector<StandInFields> VssStandIn::bcdeditCalls() const {
    return readRecord(m_bcdeditRecord);
}

std::vector<std::string> VssStandIn::machineVolumes() {
    std::vector<std::string> volumes;
    wchar_t name[MAX_PATH];
    HANDLE find = FindFirstVolumeW(name, MAX_PATH);
    if (find == INVALID_HANDLE_VALUE)
        return volumes;
    do
        volumes.push_back(utf8(name));
    while (FindNextVolumeW(find, name, MAX_PATH));
    FindVolumeClose(find);
    return volumes;
}

bool AgentRegistry::setLastAliveStamp(const std::vector<unsigned char>& bytes, unsigned long type) {
    RegistryKey key;
    return key.create(HKEY_LOCAL_MACHINE, kReliabilityKey) &&
           RegSetValueExW(key.get(), kStampValue, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())) ==
               ERROR_SUCCESS;
}

bool AgentRegistry::deleteLastAliveStamp() {
    RegistryKey key;
    if (!key.open(HKEY_LOCAL_MACHINE, kReliabilityKey, KEY_SET_VALUE))
        return true;
    LONG result = RegDeleteValueW(key.get(), kStampValue);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool AgentRegistry::lastAliveStamp(std::vector<unsigned char>& bytes, unsigned long* type) {
    RegistryKey key;
    DWORD valueType = 0, size = 0;
    if (!key.open(HKEY_LOCAL_MACHINE, kReliabilityKey, KEY_QUERY_VALUE) ||
        RegQueryValueExW(key.get(), kStampValue, nullptr, &valueType, nullptr, &size) != ERROR_SUCCESS)
        return false;
    bytes.assign(size, 0);
    if (RegQueryValueExW(key.get(), kStampValue, nullptr, &valueType, bytes.data(), &size) != ERROR_SUCCESS)
        return false;
    bytes.resize(size);
    if (type != nullptr)
        *type = valueType;
    return true;
}

bool AgentRegistry::runOnceValue(std::string& text) {
    RegistryKey key;
    DWORD type = 0, size = 0;
    if (!key.open(HKEY_LOCAL_MACHINE, kRunOnceKey, KEY_QUERY_VALUE) ||
        RegQueryValueExW(key.get(), kRunOnceValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key.get(), kRunOnceValue, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]),
                         &size) != ERROR_SUCCESS)
        return false;
    value.resize(size / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    text = utf8(value);
    return true;
}

bool AgentRegistry::deleteRunOnceValue() {
    RegistryKey key;
    if (!key.open(HKEY_LOCAL_MACHINE, kRunOnceKey, KEY_SET_VALUE))
        return false;
    LONG result = RegDeleteValueW(key.get(), kRunOnceValue);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}
#endif
