#pragma once
// The listener of the default mode: before the snapshot it makes sure that
// the local management server, and a distinct peer server when one is given,
// answer over HTTP; while the writers are frozen it asks each server that
// answered to insert a checkpoint carrying the run's tag and the machine's
// MAC addresses; after the thaw it closes the connections.
#include "AgentCommon/AgentArguments.h"
#include "VssRequester/ISnapshotFlowListener.h"

#include <string>
#include <vector>

class HttpClient;

class SnapshotFlowInternallyInitiatedListener : public ISnapshotFlowListener {
public:
    // The peer URL that means "no peer server".
    static constexpr const wchar_t* kNoPeerUrl = L"0.0.0.0";

    explicit SnapshotFlowInternallyInitiatedListener(const AgentArguments& arguments);
    ~SnapshotFlowInternallyInitiatedListener() override;
    SnapshotFlowInternallyInitiatedListener(const SnapshotFlowInternallyInitiatedListener&) = delete;
    SnapshotFlowInternallyInitiatedListener&
    operator=(const SnapshotFlowInternallyInitiatedListener&) = delete;

    // 0 when at least one server answered its ping, 1 otherwise.
    i32 notifySnapshotPrepare() override;
    void notifySnapshotQuiesceSuccess() override;
    void notifySnapshotThawSuccess() override;
    void notifySnapshotCompleteSuccess() override;
    void notifySnapshotCompleteFailure(i32 errNum) override;

    // The Ethernet adapters' hardware addresses as twelve lower-case hex
    // digits each, in the platform's order; empty when they cannot be read.
    static void listMacAddresses(std::vector<std::wstring>& macAddresses);

private:
    void readyForCheckpoint(HttpClient& client, bool answered);

    std::wstring m_localUrl;
    std::wstring m_localPort;
    std::wstring m_peerUrl;
    std::wstring m_peerPort;
    std::wstring m_tag;
    std::vector<std::wstring> m_macAddresses;
    bool m_localClientConnected = false;
    bool m_peerClientConnected = false;
    HttpClient* m_localClient = nullptr; // owned
    HttpClient* m_peerClient = nullptr;  // owned
    // Each server's place in the run record's list.
    size_t m_localRecord = 0;
    size_t m_peerRecord = 0;
};
