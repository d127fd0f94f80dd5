// One snapshot end to end, as the parties around the agent see it: the real
// agent (with the requester simulator) against the stand-ins of the runner,
// the provider service and the management servers.
#ifdef _WIN32
#include "support/ChildProcess.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <chrono>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {
typedef std::map<std::string, std::string> Fields;
typedef std::vector<std::wstring> Args;

const char kSuccessLine[] = "The VSS checkpoint request has been initiated.\r\n";
const char kCheckpointPrefix[] = "/KosService/AgentServer/insertlicensed/";

std::wstring program(const wchar_t* name) {
    return ChildProcess::currentExecutableFolder() + name;
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos + 1))
        ++count;
    return count;
}

// "key=value" pieces split at `separator`; a value runs to the next separator.
Fields fieldsOf(const std::string& line, char separator) {
    Fields fields;
    std::istringstream in(line);
    for (std::string piece; std::getline(in, piece, separator);) {
        size_t eq = piece.find('=');
        if (eq != std::string::npos)
            fields[piece.substr(0, eq)] = piece.substr(eq + 1);
    }
    return fields;
}

struct LogRecord {
    std::string time; // "YYYY-MM-DD hh:mm:ss.mmm", as the stand-ins record it
    std::string level;
    std::string message;
};

// The records of the last run: the agent's ".current" log.
std::vector<LogRecord> currentRun() {
    char folder[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, 0x8023, nullptr, 0, folder)))
        return {};
    std::istringstream in(
        TempWorkingDir::readFile(std::string(folder) + "\\Orvel\\logs\\OrvelVssAgent.exe.current.log.txt"));
    std::vector<LogRecord> records;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<size_t> commas;
        for (size_t pos = line.find(','); pos != std::string::npos && commas.size() < 6;
             pos = line.find(',', pos + 1))
            commas.push_back(pos);
        if (commas.size() == 6)
            records.push_back({line.substr(0, commas[0]),
                               line.substr(commas[0] + 1, commas[1] - commas[0] - 1),
                               line.substr(commas[5] + 1)});
    }
    return records;
}

// The first record whose message begins with `start`, or nullptr.
const LogRecord* findRecord(const std::vector<LogRecord>& records, const std::string& start) {
    for (const LogRecord& record : records)
        if (record.message.compare(0, start.size(), start) == 0)
            return &record;
    return nullptr;
}

// Each expected start matched by a later record than the one before.
void expectInOrder(const std::vector<LogRecord>& records, const std::vector<std::string>& starts) {
    size_t next = 0;
    for (const std::string& start : starts) {
        while (next < records.size() && records[next].message.compare(0, start.size(), start) != 0)
            ++next;
        ASSERT_LT(next, records.size()) << "missing, or out of order: " << start;
        ++next;
    }
}

// A management server stand-in on loopback, for the life of the object.
class Server {
public:
    Server(const TempWorkingDir& dir, const std::string& name, const Args& options = {})
        : m_ready(dir.file(name + ".ready")), m_record(dir.file(name + ".record")) {
        Args args = {L"--port", L"0", L"--ready-file", wide(m_ready), L"--record", wide(m_record)};
        args.insert(args.end(), options.begin(), options.end());
        m_child.reset(new BackgroundChild(program(L"OrvelManagementServer.exe"), args));
        for (int i = 0; i < 1000 && GetFileAttributesA(m_ready.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(10);
        Sleep(20); // the port number is written right after the file is created
        m_port = TempWorkingDir::readFile(m_ready);
        while (!m_port.empty() && (m_port.back() == '\n' || m_port.back() == '\r'))
            m_port.pop_back();
    }
    std::wstring port() const { return wide(m_port); }
    std::vector<Fields> requests() const {
        std::vector<Fields> out;
        std::istringstream in(TempWorkingDir::readFile(m_record));
        for (std::string line; std::getline(in, line);)
            out.push_back(fieldsOf(line, '\t'));
        return out;
    }
    std::string kinds() const {
        std::string out;
        for (const Fields& request : requests())
            out += (out.empty() ? "" : ",") + request.at("kind");
        return out;
    }

private:
    std::string m_ready;
    std::string m_record;
    std::string m_port;
    std::unique_ptr<BackgroundChild> m_child;
};

struct RunnerRun {
    ChildResult process;
    Fields line; // the runner's own line
};

class SnapshotRun : public ::testing::Test {
protected:
    void SetUp() override {
        provider({L"--uninstall"});
        ASSERT_EQ(0, provider({L"--install"}).exitCodeSigned());
        m_rowStart = GetTickCount64();
    }

    void TearDown() override {
        provider({L"--uninstall"});
        // Nothing the run created may outlive it and meet the next run.
        for (const char* name :
             {"Global\\OrvelVssQuiescedEvent", "Global\\OrvelVssThawEvent",
              "Global\\OrvelRunnerEventFreezeComplete", "Global\\OrvelRunnerEventThawStart",
              "Global\\OrvelRunnerEventThawComplete", "Global\\RequesterEventWaitForReadNotificationName"}) {
            HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
            EXPECT_EQ(nullptr, event) << name;
            if (event != nullptr)
                CloseHandle(event);
        }
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "Global\\OrvelVssMutex");
        EXPECT_EQ(nullptr, mutex);
        if (mutex != nullptr)
            CloseHandle(mutex);
        EXPECT_EQ(0, agentProcesses());
    }

    static int agentProcesses() {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        int count = 0;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
            count += _wcsicmp(entry.szExeFile, L"OrvelVssAgent.exe") == 0;
        CloseHandle(snapshot);
        return count;
    }

    ChildResult provider(const Args& args) {
        return ChildProcess::run(program(L"OrvelVssProviderService.exe"), args);
    }
    std::string providerState() {
        std::string out = provider({L"--query"}).output;
        return out.substr(0, out.find_first_of("\r\n"));
    }

    // The tweak file the agent reads from its working directory: short waits
    // and the simulator, unless `changes` ("name=value" lines) say otherwise. A
    // name given twice in one file would count for neither line.
    void tweaks(const std::string& changes = "") {
        std::map<std::string, std::string> values = {
            {"t_requesterSimulativeVss", "1"},
            {"t_requesterEventWaitForSharedMemoryReadTimeoutMsec", "300"},
            {"t_requesterEventWaitForThawStartTimeoutMsec", "3000"},
            {"t_requesterQuiescedEventWaitTimeoutMsec", "5000"}};
        std::istringstream in(changes);
        for (std::string line; std::getline(in, line);)
            values[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        std::string text;
        for (const auto& value : values)
            text += value.first + "=" + value.second + "\n";
        TempWorkingDir::writeFile(m_dir.file("tweaks_extension.txt"), text);
    }

    RunnerRun runRunner(const Args& options) {
        Args args = {L"--cwd", m_dir.path().wstring(), L"--timeout-ms", L"20000"};
        args.insert(args.end(), options.begin(), options.end());
        RunnerRun run;
        run.process = ChildProcess::run(program(L"OrvelRunner.exe"), args);
        EXPECT_EQ(0, run.process.exitCodeSigned()) << run.process.output;
        size_t at = run.process.output.rfind("RUNNER ");
        if (at != std::string::npos)
            run.line = fieldsOf(run.process.output.substr(at, run.process.output.find('\r', at) - at), ' ');
        return run;
    }

    ChildResult runAgent(const Args& args) {
        ChildOptions options;
        options.workingDirectory = m_dir.path().wstring();
        options.timeoutMs = 30000;
        ChildResult result = ChildProcess::run(program(L"OrvelVssAgent.exe"), args, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    // For the closing figures: how long each row took under Wine.
    void rowDone(const std::string& name) {
        ULONGLONG now = GetTickCount64();
        std::cout << "[row] " << name << ": " << (now - m_rowStart) << " ms" << std::endl;
        m_rowStart = now;
    }

    TempWorkingDir m_dir;
    ULONGLONG m_rowStart = 0;
};

TEST_F(SnapshotRun, RunnerHandshakeHoldsTheFreezeForBoundedTime) {
    const struct {
        const char* name;
        Args runner;
        std::string tweaks;
        const char* thawRecord;
        long minFrozenMs; // as the runner held it
        long maxFrozenMs;
    } rows[] = {
        {"thaw after 200 ms", {L"--thaw-delay-ms", L"200"}, "", "received event from runner", 200, 2500},
        {"thaw never set",
         {L"--thaw", L"never"},
         "t_requesterEventWaitForThawStartTimeoutMsec=1000\n",
         "::WaitForSingleObject(quiescedEvent, 1000) returned WAIT_TIMEOUT",
         1000,
         4000},
        // Set before the agent waits: the auto-reset event is still set.
        {"thaw set early", {L"--thaw", L"early"}, "", "received event from runner", 0, 0},
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
        expectInOrder(log,
                      {"OrvelVssAgent.exe invoked.",
                       "Making sure that Orvel VSS Provider service is started...",
                       "Orvel VSS Provider service is started.",
                       "VssRequesterSimulator requester",
                       "Creating mutex",
                       "Waiting for mutex",
                       "Creating events",
                       "Events: ",
                       "registering events",
                       "Invoking requester",
                       "Waiting for event... s_quiescedEvent=",
                       "writing 0 to shared memory buffer",
                       "Now quiesced",
                       "receive freeze success, setting freeze event",
                       "Waiting for event... m_eventThawStart=",
                       row.thawRecord,
                       "continuing to thaw",
                       "Setting thaw event",
                       "On thaw.",
                       "Waiting for requester doSnapshot thread to terminate",
                       "Releasing mutex",
                       "doSnapshotResult :0",
                       "writing 0 to shared memory buffer",
                       "creating second snapshot to take writers out of \"Timed out\" state",
                       "second snapshot completed",
                       "notifySnapshotCompleteSuccess",
                       "OrvelVssAgent.exe done. ret=0 ",
                       "Waiting for event  eventNameStr=Global\\RequesterEventWaitForReadNotificationName "
                       "with timeout of :300ms"});
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
        {"stopped service is started", {L"--install"}, "", 0, 0, "Service start pending..."},
        {"start pending with progress",
         {L"--install", L"--start-pending-ms", L"1500", L"--checkpoint-every-ms", L"300", L"--wait-hint-ms",
          L"1000"},
         "",
         0,
         0,
         "Service started successfully."},
        {"service missing", {}, "", -1006, -1006, "OpenService failed with error code 1060"},
        {"service disabled",
         {L"--install", L"--disabled"},
         "",
         -1007,
         -1007,
         "StartService failed with error code 1058"},
        // The real requester against Wine's own VSS, which implements nothing:
        // the worker releases the flow at once, the run succeeds and only the
        // section carries the requester's E_NOTIMPL.
        {"real requester, no VSS service",
         {L"--install"},
         "t_requesterSimulativeVss=0\n",
         0,
         static_cast<int>(0x80004001),
         "CreateVssBackupComponents failed with error code 80004001"},
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
        {"no peer",
         {L"127.0.0.1", up.port(), L"0.0.0.0", L"0", L"abc"},
         &up,
         nullptr,
         "ping,checkpoint",
         "",
         0,
         kSuccessLine,
         "Peer URL is empty. Not Connecting to peer"},
        {"peer is the local server",
         {L"127.0.0.1", up.port(), L"127.0.0.1", up.port(), L"abc"},
         &up,
         nullptr,
         "ping,checkpoint",
         "",
         0,
         kSuccessLine,
         "Peer URL equals local URL. Not Connecting to peer"},
        {"answers 500",
         {L"127.0.0.1", failing.port(), L"0.0.0.0", L"0", L"abc"},
         &failing,
         nullptr,
         "ping,checkpoint",
         "",
         0,
         kSuccessLine,
         "Done taking CP on local KOS."},
        {"local down, peer up",
         {L"localhost", closedPort, L"127.0.0.1", peer.port(), L"abc"},
         nullptr,
         &peer,
         "",
         "ping,checkpoint",
         0,
         kSuccessLine,
         "Done taking CP on peer KOS."},
        {"both down",
         {L"localhost", closedPort, L"127.0.0.1", closedPort, L"abc"},
         nullptr,
         nullptr,
         "",
         "",
         -1002,
         "",
         "No connection either to local or peer. doing nothing"},
        // No display here: the box returns at once, and nothing is printed.
        {"-GUI",
         {L"-GUI", L"127.0.0.1", up.port(), L"0.0.0.0", L"0", L"abc"},
         &up,
         nullptr,
         "ping,checkpoint",
         "",
         0,
         "",
         "notifySnapshotCompleteSuccess"},
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
            EXPECT_EQ(nullptr, findRecord(log, "Invoking requester"));
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
