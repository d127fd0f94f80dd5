#ifdef _WIN32
#include "VssStandIn.h"

#include "AgentCommon/TextConversion.h"

#include <windows.h>

namespace {
const wchar_t kOverrideKey[] = L"Software\\Wine\\AppDefaults\\OrvelVssAgent.exe\\DllOverrides";
const wchar_t kOverrideAppKey[] = L"Software\\Wine\\AppDefaults\\OrvelVssAgent.exe";
const wchar_t kReliabilityKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";
const wchar_t kStampValue[] = L"LastAliveStamp";
const wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t kRunOnceValue[] = L"OrvelVssAgent";

// The value's data, or false when the key or the value is absent.
bool query(const wchar_t* key, const wchar_t* name, std::vector<unsigned char>& data, DWORD* type) {
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY, type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    data.assign(size, 0);
    const bool read =
        RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY, type, data.data(), &size) == ERROR_SUCCESS;
    data.resize(size);
    return read;
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

void VssStandIn::clearRecords() const {
    DeleteFileA(m_record.c_str());
    DeleteFileA(m_bcdeditRecord.c_str());
}

bool VssStandIn::loadForAgent() {
    const wchar_t native[] = L"native";
    m_overrideSet = RegSetKeyValueW(HKEY_CURRENT_USER, kOverrideKey, L"vssapi", REG_SZ, native,
                                    sizeof(native)) == ERROR_SUCCESS;
    return m_overrideSet;
}

std::vector<std::pair<std::wstring, std::wstring>> VssStandIn::environment() const {
    // testbed-path lies beside the folder of the test executables.
    std::wstring bin = program(L"");
    bin.pop_back();
    std::wstring path(32768, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", &path[0], static_cast<DWORD>(path.size())));
    return {{L"ORVEL_VSS_STANDIN_CONFIG", wide(m_config)},
            {L"ORVEL_VSS_STANDIN_RECORD", wide(m_record)},
            {L"PATH", bin.substr(0, bin.find_last_of(L"\\/") + 1) + L"testbed-path;" + path},
            {L"ORVEL_BCDEDIT_RECORD", wide(m_bcdeditRecord)}};
}

std::vector<Fields> VssStandIn::session(int number) const {
    std::vector<Fields> lines;
    for (Fields& line : recordOf(m_record))
        if (line["session"] == std::to_string(number))
            lines.push_back(line);
    return lines;
}

std::vector<std::string> VssStandIn::calls(int sessionNumber) const {
    std::vector<std::string> names;
    for (const Fields& line : session(sessionNumber))
        if (line.count("call") != 0)
            names.push_back(line.count("op") == 0 ? line.at("call") : line.at("call") + ":" + line.at("op"));
    return names;
}

Fields VssStandIn::find(int sessionNumber, const std::string& name, const std::string& value) const {
    for (const Fields& line : session(sessionNumber))
        if (line.count(name) != 0 && (value.empty() || line.at(name) == value))
            return line;
    return Fields();
}

long VssStandIn::writersHeldMs(int sessionNumber) const {
    Fields freeze = find(sessionNumber, "freeze");
    if (freeze["freeze"] == "held")
        return std::stol(freeze["held_ms"]);
    return freeze["freeze"] == "thaw_timeout" ? std::stol(freeze["waited_ms"]) : -1;
}

void StandInRunTest::SetUp() {
    AgentRunTest::SetUp();
    ASSERT_TRUE(m_standIn.loadForAgent());
    m_environment = m_standIn.environment();
    tweaks(kRealRequester);
}

bool AgentRegistry::setLastAliveStamp(const std::vector<unsigned char>& bytes, unsigned long type) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kReliabilityKey, kStampValue, type, bytes.data(),
                           static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

bool AgentRegistry::deleteLastAliveStamp() {
    const LONG result = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kReliabilityKey, kStampValue);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool AgentRegistry::lastAliveStamp(std::vector<unsigned char>& bytes, unsigned long* type) {
    return query(kReliabilityKey, kStampValue, bytes, type);
}

bool AgentRegistry::runOnceValue(std::string& text) {
    std::vector<unsigned char> data;
    if (!query(kRunOnceKey, kRunOnceValue, data, nullptr))
        return false;
    data.resize(data.size() + sizeof(wchar_t)); // ended, whatever the stored string was
    text = utf8Text(reinterpret_cast<const wchar_t*>(data.data()));
    return true;
}

void AgentRegistry::deleteRunOnceValue() {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunOnceKey, kRunOnceValue);
}
#endif
