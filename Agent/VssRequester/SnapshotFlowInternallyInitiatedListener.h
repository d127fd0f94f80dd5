#pragma once
// The listener of the default mode: before the snapshot it makes sure that
// the local management server, and a distinct peer server when one is given,
// answer over HTTP; while the writers are frozen it asks each server that
// answered to insert a checkpoint carrying the run's tag and the machine's
// MAC addresses; after the thaw it closes the connections.
#include "AgentCommon/AgentArguments.h"
#include "VssRequester/ISnapshotFlowListener.h"

#include <memory>
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
    // Releases a tracked HttpClient.
    struct ClientRelease {
        void operator()(HttpClient* client) const;
    };
    // One management server: its client (null until prepare), whether it
    // answered, its role in the records ("local" or "peer") and its place in
    // the run record's list of servers.
    struct Server {
        explicit Server(const char* serverRole) : role(serverRole) {}
        const char* role;
        std::unique_ptr<HttpClient, ClientRelease> client;
        bool connected = false;
        size_t record = 0;
    };

    // Connects to the server and pings it, creating its client first when
    // it has none.
    void connectAndPing(Server& server, const std::wstring& url, const std::wstring& port,
                        const char* columns);
    void readyForCheckpoint(HttpClient& client, bool answered);

    std::wstring m_localUrl;
    std::wstring m_localPort;
    std::wstring m_peerUrl;
    std::wstring m_peerPort;
    std::wstring m_tag;
    std::vector<std::wstring> m_macAddresses;
    // Local first: the order of every step.
    Server m_servers[2] = {Server("local"), Server("peer")};
};
