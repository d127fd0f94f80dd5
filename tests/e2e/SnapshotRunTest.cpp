// One snapshot end to end, as the management server sees it: the real agent
// (with the requester simulator) against the server's stand-in. Faults of
// every party are rows of FaultMatrixTest.
#ifdef _WIN32
#include "support/AgentRun.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {
typedef AgentRunTest SnapshotRun;

// The default mode: the server gets the ping, then, while the writers are
// frozen, one checkpoint for the machine's MAC addresses and the encoded tag;
// a peer that is absent or the local server itself is not asked again.
TEST_F(SnapshotRun, ManagementServerGetsTheCheckpointWhileFrozen) {
    Server server(m_dir, "server");
    const struct {
        const char* name;
        Args arguments; // the agent's
        const char* record;
    } rows[] = {
        {"no peer",
         {L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"},
         "Peer URL is empty. Not Connecting to peer"},
        {"peer is the local server",
         {L"127.0.0.1", server.port(), L"127.0.0.1", server.port(), L"abc"},
         "Peer URL equals local URL. Not Connecting to peer"},
    };
    tweaks();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        size_t before = server.requests().size();
        ChildResult result = runAgent(row.arguments);
        EXPECT_EQ(0, result.exitCodeSigned());
        EXPECT_EQ(kSuccessLine, result.output);
        std::vector<LogRecord> log = currentRun();
        EXPECT_NE(nullptr, findRecord(log, row.record));

        std::string macs;
        for (const LogRecord& record : log)
            if (record.message.compare(0, 5, "MAC: ") == 0)
                macs += (macs.empty() ? "" : "%20") + record.message.substr(5);
        const LogRecord* frozen = findRecord(log, "Now quiesced");
        const LogRecord* thawed = findRecord(log, "Setting thaw event");
        ASSERT_TRUE(frozen != nullptr && thawed != nullptr);
        std::vector<Fields> requests = server.requests();
        ASSERT_EQ(before + 2, requests.size());
        for (const Fields& request : requests)
            EXPECT_EQ("OrVEL Agent/1.0", request.at("ua"));
        EXPECT_EQ("/KosService/AgentServer/ping", requests[before].at("path"));
        EXPECT_EQ(kCheckpointPrefix + macs + "/YQBiAGMA", requests[before + 1].at("path"));
        EXPECT_LE(frozen->time, requests[before + 1].at("time"));
        EXPECT_GE(thawed->time, requests[before + 1].at("time"));
        rowDone(row.name);
    }
}

} // namespace
#endif
