#ifdef _WIN32
#include "VssStandIn.h"

#include "AgentCommon/TextConversion.h"
#include "VssRequester/RegistryKey.h"

#include <windows.h>

#include <sstream>

namespace {
const wchar_t kOverrideKey[] = L"Software\\Wine\\AppDefaults\\OrvelVssAgent.exe\\DllOverrides";
const wchar_t kOverrideAppKey[] = L"Software\\Wine\\AppDefaults\\OrvelVssAgent.exe";
const wchar_t kReliabilityKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";
const wchar_t kStampValue[] = L"LastAliveStamp";
const wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t kRunOnceValue[] = L"OrvelVssAgent";

RegistryKey openKey(HKEY root, const wchar_t* path, REGSAM access) {
    HKEY key = nullptr;
    return RegistryKey(RegOpenKeyExW(root, path, 0, access, &key) == ERROR_SUCCESS ? key : nullptr);
}

RegistryKey createKey(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    return RegistryKey(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
                               ERROR_SUCCESS
                           ? key
                           : nullptr);
}

// The value's data, or false when the key or the value is absent.
bool query(const RegistryKey& key, const wchar_t* name, std::vector<unsigned char>& data, DWORD& type) {
    DWORD size = 0;
    if (!key.valid() || RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    data.assign(size, 0);
    if (RegQueryValueExW(key.get(), name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return false;
    data.resize(size);
    return true;
}

bool deleteValue(const RegistryKey& key, const wchar_t* name) {
    LONG result = RegDeleteValueW(key.get(), name);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

std::vector<StandInFields> readRecord(const std::string& path) {
    std::vector<StandInFields> lines;
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return lines;
    std::istringstream in(TempWorkingDir::readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(fieldsOf(line, '\t'));
    return lines;
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
    // Each key goes only when nothing else is left in it.
    RegDeleteKeyW(HKEY_CURRENT_USER, kOverrideKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kOverrideAppKey);
}

void VssStandIn::configure(const std::string& lines) const {
    TempWorkingDir::writeFile(m_config, lines);
}

void VssStandIn::clearRecords() const {
    DeleteFileA(m_record.c_str());
    DeleteFileA(m_bcdeditRecord.c_str());
}

bool VssStandIn::loadForAgent() {
    const wchar_t native[] = L"native";
    RegistryKey key = createKey(HKEY_CURRENT_USER, kOverrideKey);
    m_overrideSet =
        key.valid() && RegSetValueExW(key.get(), L"vssapi", 0, REG_SZ, reinterpret_cast<const BYTE*>(native),
                                      sizeof(native)) == ERROR_SUCCESS;
    return m_overrideSet;
}

std::vector<std::pair<std::wstring, std::wstring>> VssStandIn::environment() const {
    // testbed-path lies beside the folder of the test executables.
    std::wstring bin = ChildProcess::currentExecutableFolder();
    bin.pop_back();
    std::wstring path(32768, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", &path[0], static_cast<DWORD>(path.size())));
    return {{L"ORVEL_VSS_STANDIN_CONFIG", wide(m_config)},
            {L"ORVEL_VSS_STANDIN_RECORD", wide(m_record)},
            {L"PATH", bin.substr(0, bin.find_last_of(L"\\/") + 1) + L"testbed-path;" + path},
            {L"ORVEL_BCDEDIT_RECORD", wide(m_bcdeditRecord)}};
}

std::vector<StandInFields> VssStandIn::session(int number) const {
    std::vector<StandInFields> lines;
    for (const StandInFields& line : readRecord(m_record))
        if (line.count("session") != 0 && line.at("session") == std::to_string(number))
            lines.push_back(line);
    return lines;
}

std::vector<std::string> VssStandIn::calls(int sessionNumber) const {
    std::vector<std::string> names;
    for (const StandInFields& line : session(sessionNumber))
        if (line.count("call") != 0)
            names.push_back(line.count("op") == 0 ? line.at("call") : line.at("call") + ":" + line.at("op"));
    return names;
}

StandInFields VssStandIn::find(int sessionNumber, const std::string& name, const std::string& value) const {
    for (const StandInFields& line : session(sessionNumber))
        if (line.count(name) != 0 && (value.empty() || line.at(name) == value))
            return line;
    return StandInFields();
}

long VssStandIn::writersHeldMs(int sessionNumber) const {
    StandInFields freeze = find(sessionNumber, "freeze");
    if (freeze["freeze"] == "held")
        return std::stol(freeze["held_ms"]);
    return freeze["freeze"] == "thaw_timeout" ? std::stol(freeze["waited_ms"]) : -1;
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
        volumes.push_back(utf8Text(name));
    while (FindNextVolumeW(find, name, MAX_PATH));
    FindVolumeClose(find);
    return volumes;
}

bool AgentRegistry::setLastAliveStamp(const std::vector<unsigned char>& bytes, unsigned long type) {
    RegistryKey key = createKey(HKEY_LOCAL_MACHINE, kReliabilityKey);
    return key.valid() && RegSetValueExW(key.get(), kStampValue, 0, type, bytes.data(),
                                         static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

bool AgentRegistry::deleteLastAliveStamp() {
    RegistryKey key = openKey(HKEY_LOCAL_MACHINE, kReliabilityKey, KEY_SET_VALUE);
    return !key.valid() || deleteValue(key, kStampValue);
}

bool AgentRegistry::lastAliveStamp(std::vector<unsigned char>& bytes, unsigned long* type) {
    DWORD valueType = 0;
    if (!query(openKey(HKEY_LOCAL_MACHINE, kReliabilityKey, KEY_QUERY_VALUE), kStampValue, bytes, valueType))
        return false;
    if (type != nullptr)
        *type = valueType;
    return true;
}

bool AgentRegistry::runOnceValue(std::string& text) {
    std::vector<unsigned char> data;
    DWORD type = 0;
    if (!query(openKey(HKEY_LOCAL_MACHINE, kRunOnceKey, KEY_QUERY_VALUE), kRunOnceValue, data, type))
        return false;
    std::wstring value(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    text = utf8Text(value.c_str());
    return true;
}

bool AgentRegistry::deleteRunOnceValue() {
    RegistryKey key = openKey(HKEY_LOCAL_MACHINE, kRunOnceKey, KEY_SET_VALUE);
    return key.valid() && deleteValue(key, kRunOnceValue);
}
#endif
