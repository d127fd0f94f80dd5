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
    // Each client closes whatever the thaw left open.
    if (m_localClient != nullptr)
        trackedDelete(m_localClient);
    if (m_peerClient != nullptr)
        trackedDelete(m_peerClient);
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

i32 SnapshotFlowInternallyInitiatedListener::notifySnapshotPrepare() {
    LOG(LogInfo) << "Connecting to local KOS..." << std::endl;
    m_localClient = ORV_NEW(HttpClient)(m_localUrl, portFromText(m_localPort));
    m_localRecord = recordServer("local", m_localUrl, portFromText(m_localPort));
    RunRecord::current().servers[m_localRecord].ping.startTicks = RunRecordFile::ticksNow();
    m_localClientConnected = m_localClient->connect();
    if (m_localClientConnected) {
        LOG(LogInfo) << "Pinging local KOS..." << std::endl;
        m_localClientConnected = m_localClient->get(HttpClient::kPingObjectName);
        recordEnd(RunRecord::current().servers[m_localRecord].ping, m_localClientConnected, *m_localClient);
        LOG(LogInfo) << "Done pinging local KOS, m_localClientConnected = " << m_localClientConnected
                     << std::endl;
        readyForCheckpoint(*m_localClient, m_localClientConnected);
    } else {
        recordEnd(RunRecord::current().servers[m_localRecord].ping, false, *m_localClient);
        LOG(LogError) << "Couldn't connect to local" << std::endl;
    }

    bool peerAbsent = m_peerUrl == kNoPeerUrl;
    bool peerIsLocal = m_peerUrl == m_localUrl;
    // Created even when it is not contacted, so that the peer client's
    // records show what the command line asked for.
    m_peerClient = ORV_NEW(HttpClient)(m_peerUrl, portFromText(m_peerPort));
    if (peerAbsent) {
        LOG(LogInfo) << "Peer URL is empty. Not Connecting to peer" << std::endl;
    } else if (peerIsLocal) {
        LOG(LogInfo) << "Peer URL equals local URL. Not Connecting to peer" << std::endl;
    } else {
        LOG(LogInfo) << "Connecting to peer KOS..." << std::endl;
        m_peerRecord = recordServer("peer", m_peerUrl, portFromText(m_peerPort));
        RunRecord::current().servers[m_peerRecord].ping.startTicks = RunRecordFile::ticksNow();
        m_peerClientConnected = m_peerClient->connect();
        if (!m_peerClientConnected) {
            recordEnd(RunRecord::current().servers[m_peerRecord].ping, false, *m_peerClient);
            LOG(LogError) << "Couldn't connect to peer" << std::endl;
        } else {
            LOG(LogInfo) << "Pinging peer KOS..." << std::endl;
            m_peerClientConnected = m_peerClient->get(HttpClient::kPingObjectName);
            recordEnd(RunRecord::current().servers[m_peerRecord].ping, m_peerClientConnected, *m_peerClient);
            LOG(LogInfo) << "Done pinging peer KOS, m_peerClientConnected = " << m_peerClientConnected
                         << std::endl;
            readyForCheckpoint(*m_peerClient, m_peerClientConnected);
        }
    }

    if (!m_localClientConnected && !m_peerClientConnected) {
        LOG(LogInfo) << "No connection either to local or peer. doing nothing" << std::endl;
        return 1;
    }
    return 0;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotQuiesceSuccess() {
    // The writers stay frozen for as long as this takes; the results are in
    // the clients' records and do not change the flow.
    LOG(LogInfo) << "notifySnapshotQuiesceSuccess" << std::endl;
    if (m_localClientConnected) {
        LOG(LogInfo) << "Taking CP on local KOS..." << std::endl;
        RunRecordExchange& checkpoint = RunRecord::current().servers[m_localRecord].checkpoint;
        checkpoint.startTicks = RunRecordFile::ticksNow();
        recordEnd(checkpoint, m_localClient->insertVssCheckpoint(m_macAddresses, m_tag), *m_localClient);
        LOG(LogInfo) << "Done taking CP on local KOS." << std::endl;
    }
    if (m_peerClientConnected) {
        LOG(LogInfo) << "Taking CP on peer KOS..." << std::endl;
        RunRecordExchange& checkpoint = RunRecord::current().servers[m_peerRecord].checkpoint;
        checkpoint.startTicks = RunRecordFile::ticksNow();
        recordEnd(checkpoint, m_peerClient->insertVssCheckpoint(m_macAddresses, m_tag), *m_peerClient);
        LOG(LogInfo) << "Done taking CP on peer KOS." << std::endl;
    }
    LOG(LogInfo) << "Done taking CP." << std::endl;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotThawSuccess() {
    LOG(LogInfo) << "notifySnapshotThawSuccess" << std::endl;
    if (m_localClientConnected) {
        LOG(LogInfo) << "Closing the connection to local KOS..." << std::endl;
        m_localClient->closeHandles();
    }
    if (m_peerClientConnected) {
        LOG(LogInfo) << "Closing the connection to peer KOS..." << std::endl;
        m_peerClient->closeHandles();
    }
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotCompleteSuccess() {
    LOG(LogInfo) << "notifySnapshotCompleteSuccess" << std::endl;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotCompleteFailure(i32 errNum) {
    LOG(LogInfo) << "notifySnapshotCompleteFailure"
                 << " errNum=" << errNum << " " << std::endl;
}
