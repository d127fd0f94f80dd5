#pragma once
// Whole runs with the real requester against the shadow-copy stand-in: the
// fixture loads it for the agent and keeps a LastAliveStamp to be guarded,
// and StatusSection holds the runner's status section open across a run.
#ifdef _WIN32
#include "support/AgentRun.h"
#include "support/VssStandIn.h"
#include "windows/WinHandle.h"

#include <windows.h>

#include <string>
#include <vector>

extern const char kEnableCommand[];
extern const std::vector<unsigned char> kStamp;
extern const std::string kRealRequester; // tweak lines
const int kVeto = static_cast<int>(0x80042306);
// What the section holds when nobody wrote to it (the runner's own mark).
const int kNeverWritten = 0x7FFFFFFF;

// The agent's frozen window in its run record against the provider's of the
// same run (held_us), on interval order alone, never on how fast a wake-up
// came. The agent's starts once its wait has returned and ends as it sets the
// thaw, so it lies within the provider's, give or take the few instructions
// between its SetEvent and its clock (2 ms of slack); a requester that failed
// may have released the wait itself before the provider froze, and then the
// agent's starts first. Inside it lie the status write and, in the default
// mode, the checkpoint GET whole.
void expectWindowWithinProviders(const Json& record, const std::string& heldUs);

class StatusSection {
public:
    StatusSection();
    ~StatusSection();
    StatusSection(const StatusSection&) = delete;
    StatusSection& operator=(const StatusSection&) = delete;
    int status() const { return *m_view; }

private:
    WinHandle m_mapping;
    int* m_view;
};

class StandInRunTest : public AgentRunTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Before a run: the stand-in's rules, no records of it yet, and the
    // LastAliveStamp kStamp (or none).
    void freshRun(const std::string& standIn, bool stamp = true);
    // The machine as a run left it: LastAliveStamp back byte for byte as
    // REG_BINARY (or still absent), no RunOnce entry, and the boot policy
    // relaxed and put back (touched) or never changed.
    bool machineAsBefore(bool touched, bool stamp = true) const;

    VssStandIn m_standIn{m_dir.path().string()};
};
#endif
