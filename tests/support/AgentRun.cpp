#ifdef _WIN32
#include "support/AgentRun.h"

#include "AgentCommon/TextConversion.h"
#include "support/VssStandIn.h"
#include "testbed/TestbedCommon.h"
#include "windows/WinHandle.h"

#include <windows.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

std::wstring program(const wchar_t* name) {
    const std::wstring self = ownExecutablePath();
    return self.substr(0, self.find_last_of(L'\\') + 1) + name;
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

Args localServer(const std::wstring& port) {
    return {L"127.0.0.1", port, L"0.0.0.0", L"0", L"abc"};
}

namespace {
std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(TempWorkingDir::readFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool holds(const Json& record, const Json& expected) {
    if (expected.is_array() && record.is_array() && expected.size() == record.size())
        return std::equal(record.begin(), record.end(), expected.begin(), holds);
    if (!expected.is_object() || expected.empty() || !record.is_object())
        return record == expected;
    for (const auto& member : expected.items())
        if (!record.contains(member.key()) || !holds(record[member.key()], member.value()))
            return false;
    return true;
}
} // namespace

std::vector<Fields> recordOf(const std::string& path) {
    std::vector<Fields> lines;
    for (const std::string& line : linesOf(path)) {
        // "key=value" pieces split at tabs; a value runs to the next tab.
        std::istringstream in(line);
        Fields& fields = lines.emplace_back();
        for (std::string piece; std::getline(in, piece, '\t');)
            if (const size_t equals = piece.find('='); equals != std::string::npos)
                fields[piece.substr(0, equals)] = piece.substr(equals + 1);
    }
    return lines;
}

std::string logFolder() {
    char folder[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder);
    return std::string(folder) + "\\Orvel\\logs";
}

std::string agentLogs() {
    return logFolder() + "\\OrvelVssAgent.exe.";
}

std::vector<std::string> runRecordLines() {
    return linesOf(agentLogs() + "runs.jsonl");
}

Json lastRunRecord() {
    const std::vector<std::string> lines = runRecordLines();
    const std::string last = lines.empty() ? "(no line)" : lines.back();
    Json record = Json::parse(last, nullptr, false);
    EXPECT_TRUE(record.is_object()) << last;
    if (!record.is_object())
        return Json();
    // Kept for the schema check that runs on the build machine after the
    // suites (tests/scripts/run_record_check.py).
    const std::filesystem::path kept =
        (std::filesystem::path(program(L"")) / L".." / L"artifacts" / L"run-records.jsonl")
            .lexically_normal();
    std::filesystem::create_directories(kept.parent_path());
    std::ofstream(kept, std::ios::app | std::ios::binary) << last << "\n";
    return record;
}

void expectRecordHolds(const Json& record, const std::string& expected) {
    EXPECT_TRUE(holds(record, Json::parse(expected))) << "expected " << expected << "\n in " << record.dump();
}

std::vector<std::string> runMarkerFiles() {
    std::vector<std::string> paths;
    WIN32_FIND_DATAA found;
    FileSearchHandle find(FindFirstFileA((agentLogs() + "run-*.inprogress").c_str(), &found));
    for (bool more = find.valid(); more; more = FindNextFileA(find.get(), &found))
        paths.push_back(logFolder() + "\\" + found.cFileName);
    return paths;
}

void clearRunRecord() {
    DeleteFileA((agentLogs() + "runs.jsonl").c_str());
    DeleteFileA((agentLogs() + "runs.1.jsonl").c_str());
    for (const std::string& path : runMarkerFiles())
        if (!DeleteFileA(path.c_str()))
            RemoveDirectoryA(path.c_str());
}

std::vector<LogRecord> currentRun() {
    std::vector<LogRecord> records;
    for (const std::string& line : linesOf(agentLogs() + "current.log.txt"))
        if (LogRecord record = LogCapture::columnsOf(line); !record.level.empty())
            records.push_back(record);
    return records;
}

void expectNothingLeftBehind() {
    for (const char* name :
         {"Global\\OrvelVssQuiescedEvent", "Global\\OrvelVssThawEvent",
          "Global\\OrvelRunnerEventFreezeComplete", "Global\\OrvelRunnerEventThawStart",
          "Global\\OrvelRunnerEventThawComplete", "Global\\RequesterEventWaitForReadNotificationName"})
        EXPECT_FALSE(WinHandle(OpenEventA(SYNCHRONIZE, FALSE, name)).valid()) << name;
    EXPECT_FALSE(WinHandle(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\OrvelVssMutex")).valid());
    WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        for (const wchar_t* name : {L"OrvelVssAgent.exe", L"OrvelRunner.exe", L"bcdedit.exe"})
            EXPECT_NE(0, _wcsicmp(entry.szExeFile, name)) << "still running: " << utf8Text(name);
    std::string runOnce;
    EXPECT_FALSE(AgentRegistry::runOnceValue(runOnce)) << runOnce;
}

Server::Server(const TempWorkingDir& dir, const std::string& name, const Args& options)
    : m_record(dir.file(name + ".record")) {
    const std::string ready = dir.file(name + ".ready");
    Args args = {L"--port", L"0", L"--ready-file", wide(ready), L"--record", wide(m_record)};
    args.insert(args.end(), options.begin(), options.end());
    m_child.reset(new BackgroundChild(program(L"OrvelManagementServer.exe"), args));
    // The file is written once the server listens. It is read until it gives
    // the port: under load Wine has been seen to show the file before its
    // content could be read, and a Wine process can take seconds to start. A
    // server that never comes up is the test's failure, not the agent's
    // connection error.
    for (int i = 0; i < 6000 && (m_port = TempWorkingDir::readFile(ready)).empty(); ++i)
        Sleep(10);
    if (m_port.empty())
        ADD_FAILURE() << "the management server " << name << " did not start within 60 s";
}

// The server records a request only after answering it; its received count
// says how many lines the record will hold, so a run's requests are read
// once they are all there (bounded, as a server gone astray must not hold
// the suite).
std::vector<Fields> Server::requests() const {
    const std::wstring name = L"OrvelManagementServer." + wide(m_port) + L".received";
    WinHandle section(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
    const void* view = section.valid() ? MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
    // No section: the server's lifetime has ended, and its record with it.
    if (view == nullptr)
        return recordOf(m_record);
    const LONG received = *static_cast<const volatile LONG*>(view);
    UnmapViewOfFile(view);
    auto wholeLines = [this] {
        const std::string text = TempWorkingDir::readFile(m_record);
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    };
    for (int i = 0; i < 1000 && wholeLines() < size_t(received); ++i)
        Sleep(10);
    EXPECT_GE(wholeLines(), size_t(received)) << "the server's record still lacks requests it received";
    return recordOf(m_record);
}

std::string Server::kinds() const {
    std::string out;
    for (const Fields& request : requests())
        out += (out.empty() ? "" : ",") + request.at("kind");
    return out;
}

void AgentRunTest::SetUp() {
    provider({L"--uninstall"});
    ASSERT_EQ(0, provider({L"--install"}).exitCodeSigned());
}

void AgentRunTest::TearDown() {
    provider({L"--uninstall"});
    expectNothingLeftBehind();
}

ChildResult AgentRunTest::provider(const Args& args) {
    return ChildProcess::run(program(L"OrvelVssProviderService.exe"), args);
}

// A name given twice in one file would count for neither line, so the
// changes replace the defaults rather than follow them.
void AgentRunTest::tweaks(const std::string& changes) {
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

ChildResult AgentRunTest::runRunner(const Args& options) {
    Args args = {L"--cwd", m_dir.path().wstring(), L"--timeout-ms", L"20000"};
    args.insert(args.end(), options.begin(), options.end());
    ChildOptions childOptions;
    childOptions.environment = m_environment;
    ChildResult run = ChildProcess::run(program(L"OrvelRunner.exe"), args, childOptions);
    EXPECT_EQ(0, run.exitCodeSigned()) << run.output;
    // An agent the runner saw no end of ("none", "running", "killed") reads as killed.
    std::smatch code;
    run.exitCode = std::regex_search(run.output, code, std::regex("RUNNER .* exit_code=(-?\\d+) "))
                       ? static_cast<unsigned long>(std::stol(code[1]))
                       : ChildProcess::kKilledExitCode;
    return run;
}

ChildOptions AgentRunTest::agentOptions() const {
    ChildOptions options;
    options.workingDirectory = m_dir.path().wstring();
    options.environment = m_environment;
    options.timeoutMs = 30000;
    return options;
}

ChildResult AgentRunTest::runAgent(const Args& args) {
    ChildResult result = ChildProcess::run(program(L"OrvelVssAgent.exe"), args, agentOptions());
    EXPECT_FALSE(result.timedOut);
    return result;
}
#endif
