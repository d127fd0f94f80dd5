#include "VssRequester/SnapshotFlowInternallyInitiatedListener.h"

#include "AgentCommon/RunRecord.h"
#include "AgentCommon/RunRecordFile.h"
#include "AgentCommon/TextConversion.h"
#include "Log.h"
#include "TrackedNew.h"
#include "VssRequester/HttpClient.h"

// clang-format off
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstdlib>
#include <cwchar>

namespace {
// Room for 32 adapter records; a machine with more lists none.
const ULONG kAdaptersBufferSize = 22528;

// The port as the platform's wide-text-to-integer conversion reads it:
// leading white space and a sign, then decimal digits; none gives 0. A value
// beyond 16 bits wraps, as the port parameter of the HTTP stack would.
u16 portFromText(const std::wstring& text) {
    return static_cast<u16>(_wtoi(text.c_str()));
}

// The server's entry in the run record, made before the freeze so that the
// checkpoint only stores numbers into it.
size_t recordServer(const char* role, const std::wstring& url, u16 port) {
    RunRecordServer server;
    server.role = role;
    server.host = utf8Text(url);
    server.port = port;
    RunRecord::current().servers.push_back(server);
    return RunRecord::current().servers.size() - 1;
}

void recordEnd(RunRecordExchange& exchange, bool ok, const HttpClient& client) {
    exchange.endTicks = RunRecordFile::ticksNow();
    exchange.sent = true;
    exchange.ok = ok;
    exchange.error = ok ? 0 : client.lastError();
}
} // namespace

SnapshotFlowInternallyInitiatedListener::SnapshotFlowInternallyInitiatedListener(
    const AgentArguments& arguments)
    : m_localUrl(arguments.m_localUrl), m_localPort(arguments.m_localPort), m_peerUrl(arguments.m_peerUrl),
      m_peerPort(arguments.m_peerPort), m_tag(arguments.m_tag) {
    LOG(LogInfo) << "SnapshotFlowHttpListener" << std::endl;
    listMacAddresses(m_macAddresses);
    LOG(LogInfo) << "localURL: " << narrowText(m_localUrl) << std::endl;
    LOG(LogInfo) << "localPort: " << narrowText(m_localPort) << std::endl;
    LOG(LogInfo) << "peerURL: " << narrowText(m_peerUrl) << std::endl;
    LOG(LogInfo) << "peerPort: " << narrowText(m_peerPort) << std::endl;
    LOG(LogInfo) << "Tag: " << narrowText(m_tag) << std::endl;
    for (const std::wstring& address : m_macAddresses)
        LOG(LogInfo) << "MAC: " << narrowText(address) << std::endl;
}

SnapshotFlowInternallyInitiatedListener::~SnapshotFlowInternallyInitiatedListener() {
    LOG(LogInfo) << "~SnapshotFlowHttpListener" << std::endl;
    // Each client closes whatever the thaw left open; local first.
    for (Server& server : m_servers)
        server.client.reset();
}

void SnapshotFlowInternallyInitiatedListener::ClientRelease::operator()(HttpClient* client) const {
    trackedDelete(client);
}

void SnapshotFlowInternallyInitiatedListener::listMacAddresses(std::vector<std::wstring>& macAddresses) {
    macAddresses.clear();
    // IP_ADAPTER_INFO records, so that the buffer is aligned for them.
    std::vector<IP_ADAPTER_INFO> buffer((kAdaptersBufferSize + sizeof(IP_ADAPTER_INFO) - 1) /
                                        sizeof(IP_ADAPTER_INFO));
    ULONG size = kAdaptersBufferSize;
    if (GetAdaptersInfo(buffer.data(), &size) != ERROR_SUCCESS)
        return;
    for (const IP_ADAPTER_INFO* adapter = buffer.data(); adapter != nullptr; adapter = adapter->Next) {
        if (adapter->Type != MIB_IF_TYPE_ETHERNET)
            continue;
        const BYTE* a = adapter->Address;
        wchar_t text[13];
        std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%.2x%.2x%.2x%.2x%.2x%.2x", a[0], a[1], a[2],
                      a[3], a[4], a[5]);
        macAddresses.push_back(text);
    }
}

// Whatever the checkpoint needs besides the request itself is done now,
// before the freeze: the ping's request handle is closed (the close waits for
// the unread response) and the checkpoint's object name is built. The
// checkpoint then goes over the same session and connection.
void SnapshotFlowInternallyInitiatedListener::readyForCheckpoint(HttpClient& client, bool answered) {
    client.releaseRequest();
    if (answered)
        client.prepareVssCheckpoint(m_macAddresses, m_tag);
}

// The records carry the label of the operation that calls this (`columns`).
void SnapshotFlowInternallyInitiatedListener::connectAndPing(Server& server, const std::wstring& url,
                                                             const std::wstring& port, const char* columns) {
    LOG_AT(LogInfo, columns) << "Connecting to " << server.role << " KOS..." << std::endl;
    const u16 portNumber = portFromText(port);
    if (!server.client)
        server.client.reset(ORV_NEW(HttpClient)(url, portNumber));
    server.record = recordServer(server.role, url, portNumber);
    RunRecordExchange& ping = RunRecord::current().servers[server.record].ping;
    ping.startTicks = RunRecordFile::ticksNow();
    server.connected = server.client->connect();
    if (!server.connected) {
        recordEnd(ping, false, *server.client);
        LOG_AT(LogError, columns) << "Couldn't connect to " << server.role << std::endl;
        return;
    }
    LOG_AT(LogInfo, columns) << "Pinging " << server.role << " KOS..." << std::endl;
    server.connected = server.client->get(HttpClient::kPingObjectName);
    recordEnd(ping, server.connected, *server.client);
    LOG_AT(LogInfo, columns) << "Done pinging " << server.role << " KOS, m_" << server.role
                             << "ClientConnected = " << server.connected << std::endl;
    readyForCheckpoint(*server.client, server.connected);
}

i32 SnapshotFlowInternallyInitiatedListener::notifySnapshotPrepare() {
    const char* columns = ORV_LOG_COLUMNS();
    Server& local = m_servers[0];
    Server& peer = m_servers[1];
    connectAndPing(local, m_localUrl, m_localPort, columns);

    // Created even when it is not contacted, so that the peer client's
    // records show what the command line asked for.
    peer.client.reset(ORV_NEW(HttpClient)(m_peerUrl, portFromText(m_peerPort)));
    if (m_peerUrl == kNoPeerUrl)
        LOG(LogInfo) << "Peer URL is empty. Not Connecting to peer" << std::endl;
    else if (m_peerUrl == m_localUrl)
        LOG(LogInfo) << "Peer URL equals local URL. Not Connecting to peer" << std::endl;
    else
        connectAndPing(peer, m_peerUrl, m_peerPort, columns);

    if (!local.connected && !peer.connected) {
        LOG(LogInfo) << "No connection either to local or peer. doing nothing" << std::endl;
        return 1;
    }
    return 0;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotQuiesceSuccess() {
    // The writers stay frozen for as long as this takes; the results are in
    // the clients' records and do not change the flow.
    LOG(LogInfo) << "notifySnapshotQuiesceSuccess" << std::endl;
    for (Server& server : m_servers) {
        if (!server.connected)
            continue;
        LOG(LogInfo) << "Taking CP on " << server.role << " KOS..." << std::endl;
        RunRecordExchange& checkpoint = RunRecord::current().servers[server.record].checkpoint;
        checkpoint.startTicks = RunRecordFile::ticksNow();
        recordEnd(checkpoint, server.client->insertVssCheckpoint(m_macAddresses, m_tag), *server.client);
        LOG(LogInfo) << "Done taking CP on " << server.role << " KOS." << std::endl;
    }
    LOG(LogInfo) << "Done taking CP." << std::endl;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotThawSuccess() {
    LOG(LogInfo) << "notifySnapshotThawSuccess" << std::endl;
    for (Server& server : m_servers) {
        if (!server.connected)
            continue;
        LOG(LogInfo) << "Closing the connection to " << server.role << " KOS..." << std::endl;
        server.client->closeHandles();
    }
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotCompleteSuccess() {
    LOG(LogInfo) << "notifySnapshotCompleteSuccess" << std::endl;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotCompleteFailure(i32 errNum) {
    LOG(LogInfo) << "notifySnapshotCompleteFailure"
                 << " errNum=" << errNum << " " << std::endl;
}
