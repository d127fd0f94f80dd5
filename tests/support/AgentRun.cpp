#ifdef _WIN32
#include "support/AgentRun.h"

#include "AgentCommon/TextConversion.h"

#include <windows.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <iostream>
#include <sstream>

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

std::string agentLogs() {
    char folder[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, 0x8023, nullptr, 0, folder);
    return std::string(folder) + "\\Orvel\\logs\\OrvelVssAgent.exe.";
}

std::vector<LogRecord> currentRun() {
    std::istringstream in(TempWorkingDir::readFile(agentLogs() + "current.log.txt"));
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

const LogRecord* findRecord(const std::vector<LogRecord>& records, const std::string& start) {
    for (const LogRecord& record : records)
        if (record.message.compare(0, start.size(), start) == 0)
            return &record;
    return nullptr;
}

void expectInOrder(const std::vector<LogRecord>& records, const std::vector<std::string>& starts) {
    size_t next = 0;
    for (const std::string& start : starts) {
        while (next < records.size() && records[next].message.compare(0, start.size(), start) != 0)
            ++next;
        ASSERT_LT(next, records.size()) << "missing, or out of order: " << start;
        ++next;
    }
}

Server::Server(const TempWorkingDir& dir, const std::string& name, const Args& options)
    : m_ready(dir.file(name + ".ready")), m_record(dir.file(name + ".record")) {
    Args args = {L"--port", L"0", L"--ready-file", wide(m_ready), L"--record", wide(m_record)};
    args.insert(args.end(), options.begin(), options.end());
    m_child.reset(new BackgroundChild(program(L"OrvelManagementServer.exe"), args));
    // The file is written once the server listens. It is read until it gives
    // the port: under load Wine has been seen to show the file before its
    // content could be read, and a Wine process can take seconds to start. A
    // server that never comes up is the test's failure, not the agent's
    // connection error.
    for (int i = 0; i < 6000 && (m_port = TempWorkingDir::readFile(m_ready)).empty(); ++i)
        Sleep(10);
    if (m_port.empty())
        ADD_FAILURE() << "the management server " << name << " did not start within 60 s";
}

std::vector<Fields> Server::requests() const {
    std::vector<Fields> out;
    std::istringstream in(TempWorkingDir::readFile(m_record));
    for (std::string line; std::getline(in, line);)
        out.push_back(fieldsOf(line, '\t'));
    return out;
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
    m_rowStart = GetTickCount64();
}

void AgentRunTest::TearDown() {
    provider({L"--uninstall"});
    expectNothingLeftBehind();
}

void expectNothingLeftBehind() {
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

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        for (const wchar_t* name : {L"OrvelVssAgent.exe", L"OrvelRunner.exe", L"bcdedit.exe"})
            EXPECT_NE(0, _wcsicmp(entry.szExeFile, name)) << "still running: " << utf8Text(name);
    CloseHandle(snapshot);

    HKEY runOnce = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0,
                      KEY_READ, &runOnce) == ERROR_SUCCESS) {
        EXPECT_NE(ERROR_SUCCESS,
                  RegQueryValueExW(runOnce, L"OrvelVssAgent", nullptr, nullptr, nullptr, nullptr));
        RegCloseKey(runOnce);
    }
}

ChildResult AgentRunTest::provider(const Args& args) {
    return ChildProcess::run(program(L"OrvelVssProviderService.exe"), args);
}

std::string AgentRunTest::providerState() {
    std::string out = provider({L"--query"}).output;
    return out.substr(0, out.find_first_of("\r\n"));
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

RunnerRun AgentRunTest::runRunner(const Args& options) {
    Args args = {L"--cwd", m_dir.path().wstring(), L"--timeout-ms", L"20000"};
    args.insert(args.end(), options.begin(), options.end());
    ChildOptions childOptions;
    childOptions.environment = m_environment;
    RunnerRun run;
    run.process = ChildProcess::run(program(L"OrvelRunner.exe"), args, childOptions);
    EXPECT_EQ(0, run.process.exitCodeSigned()) << run.process.output;
    size_t at = run.process.output.rfind("RUNNER ");
    if (at != std::string::npos)
        run.line = fieldsOf(run.process.output.substr(at, run.process.output.find('\r', at) - at), ' ');
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

void AgentRunTest::rowDone(const std::string& name) {
    ULONGLONG now = GetTickCount64();
    std::cout << "[row] " << name << ": " << (now - m_rowStart) << " ms" << std::endl;
    m_rowStart = now;
}
#endif
