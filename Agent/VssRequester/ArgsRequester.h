#pragma once
// What the requester is asked to snapshot: the user's volume list and the
// VSS backup type, both optional on the command line.
#include <string>
#include <vector>

class ArgsRequester {
public:
    // Pieces of the "volumes" keyword in command-line order; empty for all volumes.
    std::vector<std::wstring> m_volumes;
    // VSS backup type from the "backupType" keyword; -1 when not given.
    int m_backupType = -1;
    // What -1 stands for: VSS_BT_COPY, which leaves the writers' own backup
    // history alone.
    static constexpr int kDefaultBackupType = 5;
};
