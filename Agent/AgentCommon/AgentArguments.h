#pragma once
// The parsed command line of one run.
#include "VssRequester/SnapshotFlow.h"

#include <string>

class AgentArguments {
public:
    std::wstring m_localUrl;
    std::wstring m_localPort;
    std::wstring m_peerUrl;
    std::wstring m_peerPort;
    std::wstring m_tag;
    SnapshotFlow m_snapshotFlow;
    bool m_gui = false;
    bool m_externallyInitiated = false;

    // Back to the state before parsing: texts and volumes empty, backup type
    // 0, no switches.
    void clear() {
        m_localUrl.clear();
        m_localPort.clear();
        m_peerUrl.clear();
        m_peerPort.clear();
        m_tag.clear();
        m_snapshotFlow.m_argsRequester.m_volumes.clear();
        m_snapshotFlow.m_argsRequester.m_backupType = 0;
        m_gui = false;
        m_externallyInitiated = false;
    }
};
