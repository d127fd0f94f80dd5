// One snapshot end to end, as the parties around the agent see it: the real
// agent (with the requester simulator) against the stand-ins of the runner,
// the provider service and the management servers.
#ifdef _WIN32
#include "support/AgentRun.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {
typedef AgentRunTest SnapshotRun;

TEST_F(SnapshotRun, RunnerHandshakeHoldsTheFreezeForBoundedTime) {
    const struct {
        const char* name;
        Args runner;
        std::string tweaks;
        const char* thawRecord;
        long minFrozenMs; // as the runner held it
        long maxFrozenMs;
    } rows[] = {
        // clang-format off
        {"thaw after 200 ms", {L"--thaw-delay-ms", L"200"}, "", "received event from runner", 200, 2500},
        {"thaw never set", {L"--thaw", L"never"}, "t_requesterEventWaitForThawStartTimeoutMsec=1000\n",
         "::WaitForSingleObject(quiescedEvent, 1000) returned WAIT_TIMEOUT", 1000, 4000},
        // Set before the agent waits: the auto-reset event is still set.
        {"thaw set early", {L"--thaw", L"early"}, "", "received event from runner", 0, 0},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        tweaks(row.tweaks);
        RunnerRun run = runRunner(row.runner);
        EXPECT_EQ("0", run.line["exit_code"]);
        EXPECT_EQ("0", run.line["final_status"]);
        EXPECT_EQ("0", run.line["statuses"]);
        EXPECT_LE(0, std::stol(run.line["freeze_complete_ms"]));
        EXPECT_LT(std::stol(run.line["freeze_complete_ms"]), std::stol(run.line["thaw_complete_ms"]));
        long frozen = std::stol(run.line["frozen_ms"]);
        EXPECT_LE(row.minFrozenMs, frozen);
        EXPECT_GE(row.maxFrozenMs, frozen);
        EXPECT_EQ(1u, countOf(run.process.output, kSuccessLine)) << run.process.output;

        std::vector<LogRecord> log = currentRun();
        ASSERT_NE(nullptr, findRecord(log, row.thawRecord));
        // The simulator received the thaw the flow set, unless the runner made
        // both wait out the same time-out.
        EXPECT_EQ(row.minFrozenMs >= 1000, findRecord(log, " setEventRes=") != nullptr);
        if (row.minFrozenMs == 0) { // the agent's own wait returned at once
            EXPECT_LE(std::stol(run.line["thaw_complete_ms"]) - std::stol(run.line["freeze_complete_ms"]),
                      2500);
        }
        // clang-format off
        expectInOrder(log, {"OrvelVssAgent.exe invoked.", "Making sure that Orvel VSS Provider service is started...",
            "Orvel VSS Provider service is started.", "VssRequesterSimulator requester", "Creating mutex",
            "Waiting for mutex", "Creating events", "Events: ", "registering events", "Invoking requester",
            "Waiting for event... s_quiescedEvent=", "writing 0 to shared memory buffer", "Now quiesced",
            "receive freeze success, setting freeze event", "Waiting for event... m_eventThawStart=", row.thawRecord,
            "continuing to thaw", "Setting thaw event", "On thaw.", "Waiting for requester doSnapshot thread to terminate",
            "Releasing mutex", "doSnapshotResult :0", "writing 0 to shared memory buffer",
            "creating second snapshot to take writers out of \"Timed out\" state", "second snapshot completed",
            "notifySnapshotCompleteSuccess", "OrvelVssAgent.exe done. ret=0 ",
            "Waiting for event  eventNameStr=Global\\RequesterEventWaitForReadNotificationName with timeout of :300ms"});
        // clang-format on
        rowDone(row.name);
    }
}

// What the service manager says decides whether a snapshot is attempted; an
// early failure still reaches the runner through the section and the event.
TEST_F(SnapshotRun, ProviderServiceStartDecidesTheRun) {
    const struct {
        const char* name;
        Args install; // empty: not installed
        std::string tweaks;
        int exitCode;
        int finalStatus; // what the runner reads last from the section
        const char* record;
    } rows[] = {
        // clang-format off
        {"stopped service is started", {L"--install"}, "", 0, 0, "Service start pending..."},
        // A hint of three polls: a loaded machine must not look like a service without progress.
        {"start pending with progress", {L"--install", L"--start-pending-ms", L"1500", L"--checkpoint-every-ms",
         L"300", L"--wait-hint-ms", L"3000"}, "", 0, 0, "Service started successfully."},
        {"service missing", {}, "", -1006, -1006, "OpenService failed with error code 1060"},
        {"service disabled", {L"--install", L"--disabled"}, "", -1007, -1007, "StartService failed with error code 1058"},
        // The real requester against Wine's own VSS, which implements nothing:
        // the worker releases the flow at once, the run succeeds and only the
        // section carries the requester's E_NOTIMPL.
        {"real requester, no VSS service", {L"--install"}, "t_requesterSimulativeVss=0\n", 0,
         static_cast<int>(0x80004001), "CreateVssBackupComponents failed with error code 80004001"},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        provider({L"--uninstall"});
        if (!row.install.empty()) {
            ASSERT_EQ(0, provider(row.install).exitCodeSigned());
        }
        EXPECT_EQ(row.install.empty() ? "" : "1", providerState().substr(0, row.install.empty() ? 0 : 1));
        tweaks(row.tweaks);
        RunnerRun run = runRunner({});
        std::vector<LogRecord> log = currentRun();
        EXPECT_NE(nullptr, findRecord(log, row.record));
        EXPECT_EQ(std::to_string(row.exitCode), run.line["exit_code"]) << run.process.output;
        EXPECT_EQ(std::to_string(row.finalStatus), run.line["final_status"]);
        EXPECT_LE(0, std::stol(run.line["freeze_complete_ms"]));
        if (row.exitCode == 0) {
            EXPECT_EQ("4", providerState());
        } else {
            // Signalled at once, then the agent still waits for the runner to read.
            EXPECT_EQ("-1", run.line["thaw_complete_ms"]);
            EXPECT_EQ(0u, countOf(run.process.output, kSuccessLine));
        }
        if (row.exitCode != 0) {
            expectInOrder(
                log, {"writing " + std::to_string(row.exitCode) + " to shared memory buffer",
                      "fire event  eventNameStr=Global\\OrvelRunnerEventFreezeComplete ",
                      "OrvelVssAgent.exe done. ret=" + std::to_string(row.exitCode) + " ",
                      "Waiting for event  eventNameStr=Global\\RequesterEventWaitForReadNotificationName"});
        }
        rowDone(row.name);
    }
}

// The default mode: the servers that answered the ping get the checkpoint
// while the writers are frozen.
TEST_F(SnapshotRun, ManagementServersGetTheCheckpointWhileFrozen) {
    Server up(m_dir, "up");
    Server failing(m_dir, "failing", {L"--ping-status", L"500", L"--checkpoint-status", L"500"});
    Server peer(m_dir, "peer");
    const std::wstring closedPort = L"1";
    const struct {
        const char* name;
        Args arguments; // the agent's
        const Server* local;
        const Server* peer;
        const char* localKinds;
        const char* peerKinds;
        int exitCode;
        const char* output;
        const char* record;
    } rows[] = {
        // clang-format off
        {"no peer", {L"127.0.0.1", up.port(), L"0.0.0.0", L"0", L"abc"}, &up, nullptr, "ping,checkpoint", "", 0,
         kSuccessLine, "Peer URL is empty. Not Connecting to peer"},
        {"peer is the local server", {L"127.0.0.1", up.port(), L"127.0.0.1", up.port(), L"abc"}, &up, nullptr,
         "ping,checkpoint", "", 0, kSuccessLine, "Peer URL equals local URL. Not Connecting to peer"},
        {"answers 500", {L"127.0.0.1", failing.port(), L"0.0.0.0", L"0", L"abc"}, &failing, nullptr,
         "ping,checkpoint", "", 0, kSuccessLine, "Done taking CP on local KOS."},
        {"local down, peer up", {L"localhost", closedPort, L"127.0.0.1", peer.port(), L"abc"}, nullptr, &peer, "",
         "ping,checkpoint", 0, kSuccessLine, "Done taking CP on peer KOS."},
        {"both down", {L"localhost", closedPort, L"127.0.0.1", closedPort, L"abc"}, nullptr, nullptr, "", "", -1002,
         "", "No connection either to local or peer. doing nothing"},
        // clang-format on
    };
    tweaks();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        size_t before[3] = {up.requests().size(), failing.requests().size(), peer.requests().size()};
        ChildResult result = runAgent(row.arguments);
        EXPECT_EQ(row.exitCode, result.exitCodeSigned());
        EXPECT_EQ(row.output, result.output);
        std::vector<LogRecord> log = currentRun();
        EXPECT_NE(nullptr, findRecord(log, row.record));

        std::string macs;
        for (const LogRecord& record : log)
            if (record.message.compare(0, 5, "MAC: ") == 0)
                macs += (macs.empty() ? "" : "%20") + record.message.substr(5);
        const LogRecord* frozen = findRecord(log, "Now quiesced");
        const LogRecord* thawed = findRecord(log, "Setting thaw event");
        const Server* servers[3] = {&up, &failing, &peer};
        for (int i = 0; i < 3; ++i) {
            std::vector<Fields> requests = servers[i]->requests();
            requests.erase(requests.begin(), requests.begin() + before[i]);
            std::string kinds;
            for (const Fields& request : requests) {
                kinds += (kinds.empty() ? "" : ",") + request.at("kind");
                EXPECT_EQ("OrVEL Agent/1.0", request.at("ua"));
                if (request.at("kind") == "ping") {
                    EXPECT_EQ("/KosService/AgentServer/ping", request.at("path"));
                }
                if (request.at("kind") != "checkpoint")
                    continue;
                EXPECT_EQ(kCheckpointPrefix + macs + "/YQBiAGMA", request.at("path"));
                ASSERT_TRUE(frozen != nullptr && thawed != nullptr);
                EXPECT_LE(frozen->time, request.at("time"));
                EXPECT_GE(thawed->time, request.at("time"));
            }
            const char* expected = servers[i] == row.local  ? row.localKinds
                                   : servers[i] == row.peer ? row.peerKinds
                                                            : "";
            EXPECT_EQ(expected, kinds) << i;
        }
        if (row.exitCode != 0) {
            // A refused prepare touches neither the requester nor the machine state.
            EXPECT_EQ(nullptr, findRecord(log, "Invoking requester"));
            EXPECT_EQ(nullptr, findRecord(log, "Disabling Windows error recovery..."));
        }
        rowDone(row.name);
    }
}

// The machine-wide mutex: the second agent's work starts only after the first
// has released it, so the server sees two whole sequences, one after the other.
TEST_F(SnapshotRun, SecondAgentWaitsForTheFirst) {
    Server server(m_dir, "server", {L"--checkpoint-delay-ms", L"700"});
    tweaks("t_requesterEventWaitForThawStartTimeoutMsec=500\n");
    // Already running: two agents that both find it stopped race to start it,
    // and the loser's start fails.
    ASSERT_EQ(0, provider({L"--start"}).exitCodeSigned());
    ChildOptions options;
    options.workingDirectory = m_dir.path().wstring();
    BackgroundChild first(program(L"OrvelVssAgent.exe"),
                          {L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"abc"}, options);
    BackgroundChild second(program(L"OrvelVssAgent.exe"),
                           {L"127.0.0.1", server.port(), L"0.0.0.0", L"0", L"a"}, options);
    EXPECT_EQ(0, first.finish(30000).exitCodeSigned());
    EXPECT_EQ(0, second.finish(30000).exitCodeSigned());
    EXPECT_EQ("ping,checkpoint,ping,checkpoint", server.kinds());
    rowDone("two agents");
}
} // namespace
#endif
