// The boot-policy and LastAliveStamp guards against the real registry of the
// test prefix, with a stand-in bcdedit on the PATH that records how it was
// called: the cases a whole run does not meet (the ordinary ones are checked
// end to end).
#ifdef _WIN32
#include "VssRequester/LastAliveStampGuard.h"
#include "VssRequester/RegistryKey.h"
#include "VssRequester/WindowsErrorRecoveryGuard.h"
#include "support/LogCapture.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {
const wchar_t* const kReliability = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";
const char* const kRunOnce = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

struct Value {
    DWORD type;
    std::vector<BYTE> bytes;
    bool operator==(const Value& other) const { return type == other.type && bytes == other.bytes; }
};

// What the registry holds; nothing when the key or the value is absent.
std::optional<Value> stamp() {
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kReliability, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    RegistryKey owner(key);
    Value value = {0, std::vector<BYTE>(64)};
    DWORD size = static_cast<DWORD>(value.bytes.size());
    if (RegQueryValueExW(key, L"LastAliveStamp", nullptr, &value.type, value.bytes.data(), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    return value;
}

bool reliabilityKeyExists() {
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kReliability, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A fresh prefix has no reliability key; each case sets up its own.
void setUpReliability(bool keyExists, const std::optional<Value>& value) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kReliability);
    if (!keyExists)
        return;
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kReliability, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    RegistryKey owner(key);
    if (value) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"LastAliveStamp", 0, value->type, value->bytes.data(),
                                                static_cast<DWORD>(value->bytes.size())));
    }
}

std::optional<Value> runOnce() {
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnce, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    RegistryKey owner(key);
    Value value = {0, std::vector<BYTE>(256)};
    DWORD size = static_cast<DWORD>(value.bytes.size());
    if (RegQueryValueExA(key, "OrvelVssAgent", nullptr, &value.type, value.bytes.data(), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    return value;
}

Value binary(std::vector<BYTE> bytes) {
    return {REG_BINARY, std::move(bytes)};
}

// "Level,Class,Function,message" of every record captured so far.
std::vector<std::string> entries() {
    std::vector<std::string> out;
    for (const std::string& record : LogCapture::instance().records()) {
        std::vector<size_t> commas;
        for (size_t pos = record.find(','); pos != std::string::npos && commas.size() < 6;
             pos = record.find(',', pos + 1))
            commas.push_back(pos);
        if (commas.size() < 6)
            continue;
        out.push_back(record.substr(commas[0] + 1, commas[1] - commas[0]) +
                      record.substr(commas[3] + 1, commas[5] - commas[3]) + LogCapture::messageOf(record));
    }
    return out;
}

TEST(LastAliveStampGuard, StampIsOutWhileGuardedAndBackByteForByte) {
    const struct {
        const char* name;
        bool keyExists;
        std::optional<Value> before;
        bool removedWhileGuarded;
        std::vector<std::string> records;
    } rows[] = {
        {"sixteen bytes, all it holds",
         true,
         binary({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0}),
         true,
         {"Info,LastAliveStampGuard,LastAliveStampGuard,Saving LastAliveStampCache...",
          "Info,LastAliveStampCache,save,Data size is 16",
          "Info,LastAliveStampGuard,~LastAliveStampGuard,Restoring LastAliveStampCache..."}},
        {"longer than it holds",
         true,
         binary(std::vector<BYTE>(17, 0xAB)),
         false,
         {"Info,LastAliveStampGuard,LastAliveStampGuard,Saving LastAliveStampCache...",
          "Error,LastAliveStampCache,save,Error 234 in RegQueryValueEx.",
          "Info,LastAliveStampGuard,~LastAliveStampGuard,Restoring LastAliveStampCache..."}},
        {"not binary",
         true,
         Value{REG_DWORD, {1, 0, 0, 0}},
         false,
         {"Info,LastAliveStampGuard,LastAliveStampGuard,Saving LastAliveStampCache...",
          "Error,LastAliveStampCache,save,Unexpected registry type 4",
          "Info,LastAliveStampGuard,~LastAliveStampGuard,Restoring LastAliveStampCache..."}},
        {"no reliability key",
         false,
         std::nullopt,
         false,
         {"Info,LastAliveStampGuard,LastAliveStampGuard,Saving LastAliveStampCache...",
          "Error,LastAliveStampCache,openKey,Error 2 in RegOpenKeyEx.",
          "Info,LastAliveStampGuard,~LastAliveStampGuard,Restoring LastAliveStampCache..."}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        setUpReliability(row.keyExists, row.before);
        ASSERT_EQ(row.before, stamp());
        LogCapture::instance().clear();
        {
            LastAliveStampGuard guard;
            EXPECT_EQ(row.removedWhileGuarded ? std::nullopt : row.before, stamp());
        }
        // Whatever happened while guarded, nothing else is left behind.
        EXPECT_EQ(row.before, stamp());
        EXPECT_EQ(row.keyExists, reliabilityKeyExists());
        EXPECT_EQ(row.records, entries());
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kReliability);
}

// Puts `folder` first on the PATH that the command interpreter searches, for
// the life of the object.
class PathInFront {
public:
    explicit PathInFront(const std::string& folder) {
        const char* path = std::getenv("PATH");
        m_previous = path != nullptr ? path : "";
        _putenv(("PATH=" + folder + ";" + m_previous).c_str());
    }
    ~PathInFront() { _putenv(("PATH=" + m_previous).c_str()); }

private:
    std::string m_previous;
};

TEST(WindowsErrorRecoveryGuard, RunOnceCoversTheRelaxedPolicyWhateverBcdeditSays) {
    const std::string disable = "/set {current} bootstatuspolicy ignoreallfailures\r\n";
    const std::string enable = "/set {default} bootstatuspolicy displayallfailures\r\n";
    const std::string command = "bcdedit /set {default} bootstatuspolicy displayallfailures";
    const Value entry = {REG_SZ, std::vector<BYTE>(command.c_str(), command.c_str() + command.size() + 1)};
    const std::vector<std::string> guarded = {
        "Info,WindowsErrorRecoveryGuard,WindowsErrorRecoveryGuard,Disabling Windows error recovery...",
        "Info,WindowsErrorRecoveryDisabler,disable,Registering RunOnce...",
        "Info,WindowsErrorRecoveryDisabler,disable,Disabling Windows Error Recovery...",
        "Info,WindowsErrorRecoveryGuard,~WindowsErrorRecoveryGuard,Enabling Windows error recovery...",
        "Info,WindowsErrorRecoveryDisabler,enable,Enabling Windows Error Recovery...",
        "Info,WindowsErrorRecoveryDisabler,enable,Unregistering RunOnce..."};
    const struct {
        const char* name;
        const char* bcdedit; // the stand-in's last line; nullptr: no bcdedit at all
        u32 osMajorVersion;
        std::string callsWhileGuarded;
        std::string callsAfter;
        std::vector<std::string> records;
    } rows[] = {
        {"bcdedit fails", "@exit /b 1", 6, disable, disable + enable, guarded},
        // The interpreter ran and reported the command unknown (9009).
        {"no bcdedit", nullptr, 6, "", "", guarded},
        {"no boot configuration data", "@exit /b 0", 5, "", "", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempWorkingDir dir;
        std::string calls = dir.file("calls.txt");
        std::optional<PathInFront> path;
        if (row.bcdedit != nullptr) {
            TempWorkingDir::writeFile(dir.file("bin\\bcdedit.cmd"),
                                      "@>>\"" + calls + "\" echo %*\r\n" + row.bcdedit + "\r\n");
            path.emplace(dir.file("bin"));
        }
        ASSERT_EQ(std::nullopt, runOnce());
        LogCapture::instance().clear();
        {
            WindowsErrorRecoveryGuard guard(row.osMajorVersion);
            EXPECT_EQ(row.osMajorVersion >= 6, guard.active());
            EXPECT_EQ(row.osMajorVersion >= 6 ? std::optional<Value>(entry) : std::nullopt, runOnce());
            EXPECT_EQ(row.callsWhileGuarded, TempWorkingDir::readFile(calls));
        }
        EXPECT_EQ(std::nullopt, runOnce());
        EXPECT_EQ(row.callsAfter, TempWorkingDir::readFile(calls));
        EXPECT_EQ(row.records, entries());
    }
}

} // namespace
#endif
