#pragma once
// Whole runs of the agent for the end-to-end suites: the stand-ins of the
// provider service, the runner and the management servers, the agent's
// ".current" log read back as records, and a fixture that leaves nothing of a
// run behind for the next one.
#ifdef _WIN32
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

typedef std::map<std::string, std::string> Fields;
typedef std::vector<std::wstring> Args;
typedef nlohmann::json Json;

std::wstring program(const wchar_t* name);
std::wstring wide(const std::string& ascii);
// The agent's arguments for a local server on loopback and no peer.
Args localServer(const std::wstring& port);
// The tab-separated lines of a stand-in's record file; none when it is missing.
std::vector<Fields> recordOf(const std::string& path);

std::string logFolder();
// The agent's files in it: this and "log.txt", "current.log.txt", "runs.jsonl"
// (the run record) or "run-<id>.inprogress" (its markers).
std::string agentLogs();
// The records of the last run: the agent's ".current" log.
std::vector<LogRecord> currentRun();
// The run record's lines, without their line ends; none when it is missing.
std::vector<std::string> runRecordLines();
// The last of them, parsed; null, and a failure, when it is no JSON object.
Json lastRunRecord();
// Every member of `expected` (JSON text) is in `record` with that value:
// objects member by member, arrays element by element, anything else (an
// empty object too) whole.
void expectRecordHolds(const Json& record, const std::string& expected);
std::vector<std::string> runMarkerFiles();
// No run record (nor its older file) and no marker, file or folder.
void clearRunRecord();

// No named object of a run, no agent, runner or bcdedit process and no
// RunOnce entry is left for the next run to meet.
void expectNothingLeftBehind();

// A management server stand-in on loopback, for the life of the object.
class Server {
public:
    Server(const TempWorkingDir& dir, const std::string& name, const Args& options = {});
    std::wstring port() const { return wide(m_port); }
    std::vector<Fields> requests() const;
    std::string kinds() const;

private:
    std::string m_record;
    std::string m_port;
    std::unique_ptr<BackgroundChild> m_child;
};

// Each test starts with the provider service installed and stopped; at its
// end the service is gone and nothing of a run is left to meet the next one.
class AgentRunTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    ChildResult provider(const Args& args);
    // The tweak file the agent reads from its working directory: short waits
    // and the simulator, unless `changes` ("name=value" lines) say otherwise.
    void tweaks(const std::string& changes = "");
    // The runner (and the agent it starts) with m_environment: what the
    // runner printed, and the agent's exit code as the runner read it.
    ChildResult runRunner(const Args& options);
    ChildResult runAgent(const Args& args);
    ChildOptions agentOptions() const;

    TempWorkingDir m_dir;
    std::vector<std::pair<std::wstring, std::wstring>> m_environment;
};
#endif
