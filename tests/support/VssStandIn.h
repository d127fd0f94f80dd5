#pragma once
// The test side of the shadow-copy service stand-in (testbed/OrvelVssStandIn,
// built as vssapi.dll beside the agent) and of the bcdedit stand-in
// (testbed-path/bcdedit.exe): one object per test folder writes the
// stand-in's configuration, gives the agent the environment that reaches
// both, makes Wine load the stand-in for the agent while it lives, and reads
// back what both recorded. A fault case is one configuration line, e.g.
//   standIn.configure("async.DoSnapshotSet=status:0x80042306");
// (keys and record lines: testbed/OrvelVssStandIn/README.md).
#ifdef _WIN32
#include "support/AgentRun.h"

#include <string>
#include <utility>
#include <vector>

class VssStandIn {
public:
    // Its files go to `folder`; its configuration is written empty (all defaults).
    explicit VssStandIn(const std::string& folder);
    ~VssStandIn();
    VssStandIn(const VssStandIn&) = delete;
    VssStandIn& operator=(const VssStandIn&) = delete;

    void configure(const std::string& lines) const { TempWorkingDir::writeFile(m_config, lines); }
    void clearRecords() const;

    // Makes Wine load the stand-in instead of its own stub for every
    // OrvelVssAgent.exe started from now on, until this object is destroyed:
    // a per-application DLL override in the prefix's registry. (Wine takes
    // WINEDLLOVERRIDES from the Unix environment it was started with, not from
    // the environment block of CreateProcessW.) False when the registry refused.
    bool loadForAgent();

    // For ChildOptions::environment: the stand-ins' files, bcdedit first on PATH.
    std::vector<std::pair<std::wstring, std::wstring>> environment() const;

    // The lines of one session (1: the agent's first snapshot, 2: its second).
    std::vector<Fields> session(int number) const;
    // The methods called in a session, in order ("Wait:DoSnapshotSet" for an operation's).
    std::vector<std::string> calls(int session) const;
    // The first line of a session with the field `name` (e.g. "freeze", or
    // "call" with `value` "SetBackupState"); empty when none.
    Fields find(int session, const std::string& name, const std::string& value = "") const;
    // How long the provider held the writers in a session: from the quiesced
    // event to the thaw, or to its own bound when no thaw came in time (it
    // vetoed then); -1 when it never froze them.
    long writersHeldMs(int session) const;
    std::vector<Fields> bcdeditCalls() const { return recordOf(m_bcdeditRecord); }

private:
    std::string m_config;
    std::string m_record;
    std::string m_bcdeditRecord;
    bool m_overrideSet = false;
};

// Whole runs with the real requester against the stand-in: the fixture loads
// it for the agent, with kRealRequester's tweak lines.
inline const std::string kRealRequester = "t_requesterSimulativeVss=0\nt_WaitAsyncTimeoutMsec=7000\n";
class StandInRunTest : public AgentRunTest {
protected:
    void SetUp() override;

    VssStandIn m_standIn{m_dir.path().string()};
};

// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Reliability "LastAliveStamp"
// and ...\RunOnce "OrvelVssAgent", as the agent's guards leave them.
namespace AgentRegistry {
// Creates the Reliability key when missing (a fresh Wine prefix has none).
bool setLastAliveStamp(const std::vector<unsigned char>& bytes, unsigned long type = 3 /* REG_BINARY */);
// True also when there was nothing to delete.
bool deleteLastAliveStamp();
// False when the key or the value is absent.
bool lastAliveStamp(std::vector<unsigned char>& bytes, unsigned long* type = nullptr);
bool runOnceValue(std::string& text);
void deleteRunOnceValue();
} // namespace AgentRegistry
#endif
