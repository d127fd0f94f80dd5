// The boot-policy and LastAliveStamp guards against the real registry of the
// test prefix: the cases a whole run does not meet (the ordinary ones are
// checked end to end).
#ifdef _WIN32
#include "VssRequester/LastAliveStampGuard.h"
#include "VssRequester/WindowsErrorRecoveryGuard.h"
#include "support/LogCapture.h"
#include "support/TempWorkingDir.h"
#include "support/VssStandIn.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {
TEST(LastAliveStampGuard, AStampItCannotKeepIsLeftAsItWas) {
    const struct {
        const char* name;
        std::vector<unsigned char> bytes; // empty: no Reliability key at all
        unsigned long type;
        bool removedWhileGuarded;
        const char* record;
    } rows[] = {
        {"sixteen bytes, all it holds", std::vector<unsigned char>(16, 0x5A), REG_BINARY, true,
         "Data size is 16"},
        {"longer than it holds", std::vector<unsigned char>(17, 0xAB), REG_BINARY, false,
         "Error 234 in RegQueryValueEx."},
        {"not binary", {1, 0, 0, 0}, REG_DWORD, false, "Unexpected registry type 4"},
        {"no reliability key", {}, 0, false, "Error 2 in RegOpenKeyEx."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.bytes.empty())
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability");
        else
            ASSERT_TRUE(AgentRegistry::setLastAliveStamp(row.bytes, row.type));
        LogCapture::instance().clear();
        std::vector<unsigned char> bytes;
        unsigned long type = 0;
        {
            LastAliveStampGuard guard;
            EXPECT_EQ(!row.bytes.empty() && !row.removedWhileGuarded, AgentRegistry::lastAliveStamp(bytes));
        }
        EXPECT_EQ(!row.bytes.empty(), AgentRegistry::lastAliveStamp(bytes, &type));
        if (!row.bytes.empty()) {
            EXPECT_EQ(row.bytes, bytes);
            EXPECT_EQ(row.type, type);
        }
        EXPECT_TRUE(LogCapture::instance().hasMessage(row.record));
    }
    AgentRegistry::deleteLastAliveStamp();
}

TEST(WindowsErrorRecoveryGuard, RunOnceCoversTheRelaxedPolicyWhateverBcdeditSays) {
    const std::string disable = "/set {current} bootstatuspolicy ignoreallfailures\r\n";
    const std::string enable = "/set {default} bootstatuspolicy displayallfailures\r\n";
    const struct {
        const char* name;
        u32 osMajorVersion;
        std::string callsWhileGuarded;
        std::string callsAfter;
    } rows[] = {
        {"bcdedit fails", 6, disable, disable + enable},
        {"no boot configuration data", 5, "", ""},
    };
    const std::string path = std::getenv("PATH");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempWorkingDir dir;
        std::string calls = dir.file("calls.txt");
        TempWorkingDir::writeFile(dir.file("bin\\bcdedit.cmd"),
                                  "@>>\"" + calls + "\" echo %*\r\n@exit /b 1\r\n");
        // First on the PATH that the command interpreter searches.
        _putenv(("PATH=" + dir.file("bin") + ";" + path).c_str());
        std::string runOnce;
        {
            WindowsErrorRecoveryGuard guard(row.osMajorVersion);
            EXPECT_EQ(row.osMajorVersion >= 6, AgentRegistry::runOnceValue(runOnce));
            EXPECT_EQ(row.callsWhileGuarded, TempWorkingDir::readFile(calls));
        }
        EXPECT_FALSE(AgentRegistry::runOnceValue(runOnce));
        EXPECT_EQ(row.callsAfter, TempWorkingDir::readFile(calls));
        _putenv(("PATH=" + path).c_str());
    }
}
} // namespace
#endif
