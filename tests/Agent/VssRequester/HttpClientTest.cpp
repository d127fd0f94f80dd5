// The checkpoint's object name for several MAC addresses, or none; the round
// trips with a server, and their records, are exercised end to end.
#ifdef _WIN32
#include "VssRequester/HttpClient.h"

#include <gtest/gtest.h>

TEST(HttpClient, CheckpointObjectName) {
    EXPECT_EQ(L"/KosService/AgentServer/insertlicensed/001122334455 66778899aabb/YQBiAGMA",
              HttpClient::checkpointObjectName({L"001122334455", L"66778899aabb"}, L"abc"));
    EXPECT_EQ(L"/KosService/AgentServer/insertlicensed//", HttpClient::checkpointObjectName({}, L""));
}
#endif
