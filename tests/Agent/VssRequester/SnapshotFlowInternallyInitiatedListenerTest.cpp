// The listener's decisions when no management server answers: which servers
// it tries, what it logs, and that it refuses the snapshot. Runs with servers
// are exercised end to end.
#ifdef _WIN32
#include "VssRequester/SnapshotFlowInternallyInitiatedListener.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace {
const char* const kListener = "SnapshotFlowInternallyInitiatedListener";

// Messages of the listener's records and of the clients' constructor records
// ("client: ..."), in order.
std::vector<std::string> decisionRecords() {
    std::vector<std::string> out;
    for (const std::string& record : LogCapture::instance().records()) {
        std::vector<std::string> fields;
        std::istringstream in(record);
        std::string field;
        while (fields.size() < 6 && std::getline(in, field, ','))
            fields.push_back(field);
        if (fields[4] == kListener)
            out.push_back(LogCapture::messageOf(record));
        else if (fields[4] + "," + fields[5] == "HttpClient,HttpClient")
            out.push_back("client: " + LogCapture::messageOf(record));
    }
    return out;
}

AgentArguments argumentsFor(const wchar_t* localUrl, const wchar_t* localPort, const wchar_t* peerUrl,
                            const wchar_t* peerPort) {
    AgentArguments arguments;
    arguments.m_localUrl = localUrl;
    arguments.m_localPort = localPort;
    arguments.m_peerUrl = peerUrl;
    arguments.m_peerPort = peerPort;
    arguments.m_tag = L"tag 1";
    return arguments;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
} // namespace

TEST(SnapshotFlowInternallyInitiatedListener, ConstructorRecords) {
    LogCapture::instance().clear();
    SnapshotFlowInternallyInitiatedListener listener(argumentsFor(L"10.0.0.1", L"8080", L"0.0.0.0", L"80"));
    std::vector<std::string> records = decisionRecords();
    std::vector<std::string> expected = {"SnapshotFlowHttpListener", "localURL: 10.0.0.1", "localPort: 8080",
                                         "peerURL: 0.0.0.0",         "peerPort: 80",       "Tag: tag 1"};
    ASSERT_GE(records.size(), expected.size());
    EXPECT_EQ(expected, std::vector<std::string>(records.begin(), records.begin() + expected.size()));
    std::vector<std::wstring> macs;
    SnapshotFlowInternallyInitiatedListener::listMacAddresses(macs);
    ASSERT_EQ(expected.size() + macs.size(), records.size());
    for (size_t i = 0; i < macs.size(); ++i) {
        EXPECT_EQ("MAC: " + std::string(macs[i].begin(), macs[i].end()), records[expected.size() + i]);
        EXPECT_TRUE(std::regex_match(records[expected.size() + i], std::regex("MAC: [0-9a-f]{12}")));
    }
}

// Port 1 of the loopback addresses: the connection opens, the ping fails.
TEST(SnapshotFlowInternallyInitiatedListener, NoServerAnswersSoThePrepareRefuses) {
    const std::vector<std::string> localDown = {
        "Connecting to local KOS...", "client: m_serverUrl = 127.0.0.1", "client: m_serverPort = 1",
        "Pinging local KOS...", "Done pinging local KOS, m_localClientConnected = 0"};
    const std::vector<std::string> nothing = {"No connection either to local or peer. doing nothing"};
    const struct {
        const char* name;
        AgentArguments arguments;
        std::vector<std::string> records;
    } rows[] = {
        {"no peer; port texts read as integers", argumentsFor(L"127.0.0.1", L" +1", L"0.0.0.0", L"abc"),
         localDown +
             std::vector<std::string>{"client: m_serverUrl = 0.0.0.0", "client: m_serverPort = 0",
                                      "Peer URL is empty. Not Connecting to peer"} +
             nothing},
        {"peer equals local", argumentsFor(L"127.0.0.1", L"1", L"127.0.0.1", L"1"),
         localDown +
             std::vector<std::string>{"client: m_serverUrl = 127.0.0.1", "client: m_serverPort = 1",
                                      "Peer URL equals local URL. Not Connecting to peer"} +
             nothing},
        {"distinct peer", argumentsFor(L"127.0.0.1", L"1", L"127.0.0.2", L"1"),
         localDown +
             std::vector<std::string>{"client: m_serverUrl = 127.0.0.2", "client: m_serverPort = 1",
                                      "Connecting to peer KOS...", "Pinging peer KOS...",
                                      "Done pinging peer KOS, m_peerClientConnected = 0"} +
             nothing},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        {
            SnapshotFlowInternallyInitiatedListener listener(row.arguments);
            LogCapture::instance().clear();
            EXPECT_EQ(1, listener.notifySnapshotPrepare());
            EXPECT_EQ(row.records, decisionRecords());
            LogCapture::instance().clear();
        }
        EXPECT_EQ(std::vector<std::string>{"~SnapshotFlowHttpListener"}, decisionRecords());
    }
}
#endif
