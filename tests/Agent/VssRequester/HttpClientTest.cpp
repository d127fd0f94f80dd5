// HttpClient without a server: what it reports when nothing listens. Round
// trips with a server are exercised end to end.
#ifdef _WIN32
#include "VssRequester/HttpClient.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <regex>

namespace {
void expectRecords(const std::vector<std::string>& patterns) {
    std::vector<std::string> records = LogCapture::instance().summaries();
    ASSERT_EQ(patterns.size(), records.size()) << ::testing::PrintToString(records);
    for (size_t i = 0; i < patterns.size(); ++i)
        EXPECT_TRUE(std::regex_match(records[i], std::regex(patterns[i])))
            << records[i] << " / " << patterns[i];
}

// A port on which nothing listens: the send fails at once.
const u16 kClosedPort = 1;
const char* const kHandle = "0x[0-9a-f]+";
} // namespace

TEST(HttpClient, ClosedPortFailsAtTheSend) {
    LogCapture::instance().clear();
    {
        HttpClient client(L"127.0.0.1", kClosedPort);
        EXPECT_TRUE(client.connect());
        EXPECT_FALSE(client.insertVssCheckpoint({L"001122334455"}, L"abc"));
        client.closeHandles();
        client.closeHandles();
    }
    expectRecords({
        "Info HttpClient,HttpClient m_serverUrl = 127\\.0\\.0\\.1",
        "Info HttpClient,HttpClient m_serverPort = 1",
        std::string("Info HttpClient,connect WinHttpOpen returned ") + kHandle,
        std::string("Info HttpClient,connect WinHttpConnect returned ") + kHandle,
        "Info HttpClient,insertVssCheckpoint Object name: "
        "/KosService/AgentServer/insertlicensed/001122334455/YQBiAGMA",
        std::string("Info HttpClient,get WinHttpOpenRequest returned ") + kHandle,
        "Info HttpClient,get WinHttpSendRequest returned 0",
        "Error HttpClient,get Error 12029 in WinHttpSendRequest\\.",
    });
}
#endif
