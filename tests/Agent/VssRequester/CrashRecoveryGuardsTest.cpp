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
#include <tuple>
#include <vector>

TEST(LastAliveStampGuard, AStampItCannotKeepIsLeftAsItWas) {
    // An empty stamp: no Reliability key at all.
    typedef std::vector<unsigned char> Bytes;
    const std::tuple<const char*, Bytes, unsigned long, bool, const char*> rows[] = {
        {"sixteen bytes, all it holds", Bytes(16, 0x5A), REG_BINARY, true, "Data size is 16"},
        {"longer than it holds", Bytes(17, 0xAB), REG_BINARY, false, "Error 234 in RegQueryValueEx."},
        {"not binary", {1, 0, 0, 0}, REG_DWORD, false, "Unexpected registry type 4"},
        {"no reliability key", {}, 0, false, "Error 2 in RegOpenKeyEx."},
    };
    for (const auto& [name, stamp, stampType, removedWhileGuarded, record] : rows) {
        SCOPED_TRACE(name);
        if (stamp.empty())
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability");
        else
            ASSERT_TRUE(AgentRegistry::setLastAliveStamp(stamp, stampType));
        LogCapture::instance().clear();
        Bytes bytes;
        unsigned long type = 0;
        {
            LastAliveStampGuard guard;
            EXPECT_EQ(!stamp.empty() && !removedWhileGuarded, AgentRegistry::lastAliveStamp(bytes));
        }
        EXPECT_EQ(!stamp.empty(), AgentRegistry::lastAliveStamp(bytes, &type));
        if (!stamp.empty()) {
            EXPECT_EQ(stamp, bytes);
            EXPECT_EQ(stampType, type);
        }
        EXPECT_TRUE(LogCapture::instance().hasMessage(record));
    }
    AgentRegistry::deleteLastAliveStamp();
}

TEST(WindowsErrorRecoveryGuard, RunOnceCoversTheRelaxedPolicyWhateverBcdeditSays) {
    const std::string disable = "/set {current} bootstatuspolicy ignoreallfailures\r\n";
    const std::string enable = "/set {default} bootstatuspolicy displayallfailures\r\n";
    const std::tuple<const char*, u32, std::string, std::string> rows[] = {
        {"bcdedit fails", 6, disable, disable + enable},
        {"no boot configuration data", 5, "", ""},
    };
    const std::string path = std::getenv("PATH");
    for (const auto& [name, osMajorVersion, callsWhileGuarded, callsAfter] : rows) {
        SCOPED_TRACE(name);
        TempWorkingDir dir;
        std::string calls = dir.file("calls.txt");
        TempWorkingDir::writeFile(dir.file("bin\\bcdedit.cmd"),
                                  "@>>\"" + calls + "\" echo %*\r\n@exit /b 1\r\n");
        // First on the PATH that the command interpreter searches.
        _putenv(("PATH=" + dir.file("bin") + ";" + path).c_str());
        std::string runOnce;
        {
            WindowsErrorRecoveryGuard guard(osMajorVersion);
            EXPECT_EQ(osMajorVersion >= 6, AgentRegistry::runOnceValue(runOnce));
            EXPECT_EQ(callsWhileGuarded, TempWorkingDir::readFile(calls));
        }
        EXPECT_FALSE(AgentRegistry::runOnceValue(runOnce));
        EXPECT_EQ(callsAfter, TempWorkingDir::readFile(calls));
        _putenv(("PATH=" + path).c_str());
    }
}
#endif
