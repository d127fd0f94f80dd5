// The two log files a run of the agent leaves under
// <common application data>\Orvel\logs, read back as an operator would.
#ifdef _WIN32
#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kOpening = "\n\n"
                             "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}, "
                             "-----------------Log Start----------------------  ----------------------\n"
                             "time,level,thread,logger,method,message,exception\n";
// time, level, thread, logger, class part, function part, message
const char* const kRecord = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3},"
                            "(Assert|Fatal|Error|Warn|Info|Debug|Control),\\d+,(NON|JEX),[^,]*,[^,]*,.*";

std::string logsFolder() {
    char path[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, 0x8023, nullptr, 0, path)))
        return std::string();
    return std::string(path) + "\\Orvel\\logs\\";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos + 1))
        ++count;
    return count;
}

// The lines after the opening lines; every one must be a record.
std::vector<std::string> recordsAfterOpening(const std::string& text) {
    std::vector<std::string> records;
    std::smatch opening;
    if (!std::regex_search(text, opening, std::regex(std::string("^") + kOpening)))
        return records;
    std::istringstream lines(text.substr(opening.length(0)));
    std::string line;
    while (std::getline(lines, line))
        records.push_back(line);
    return records;
}

class AgentLogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_agent = ChildProcess::currentExecutableFolder() + L"OrvelVssAgent.exe";
        m_folder = logsFolder();
        ASSERT_FALSE(m_folder.empty());
        std::remove((m_folder + "OrvelVssAgent.exe.log.txt").c_str());
    }

    // A run that ends with a usage error: its Error record flushes both logs.
    void runAgent() {
        ChildResult result = ChildProcess::run(m_agent, {});
        ASSERT_TRUE(result.started) << result.error;
        ASSERT_FALSE(result.timedOut);
        ASSERT_EQ(1, result.exitCodeSigned()) << result.output;
    }

    std::string mainLog() { return readFile(m_folder + "OrvelVssAgent.exe.log.txt"); }
    std::string currentLog() { return readFile(m_folder + "OrvelVssAgent.exe.current.log.txt"); }

    std::wstring m_agent;
    std::string m_folder;
};

TEST_F(AgentLogFiles, EachRunAppendsToTheMainLogAndRestartsTheCurrentLog) {
    runAgent();
    runAgent();
    std::string main = mainLog();
    std::string current = currentLog();
    EXPECT_EQ(2u, countOf(main, "-----------------Log Start-----"));
    EXPECT_EQ(2u, countOf(main, "OrvelVssAgent.exe invoked."));
    EXPECT_EQ(1u, countOf(current, "-----------------Log Start-----"));
    EXPECT_EQ(1u, countOf(current, "OrvelVssAgent.exe invoked."));
}

TEST_F(AgentLogFiles, BothFilesOpenWithBannerAndHeaderThenSevenFieldRecords) {
    runAgent();
    for (const std::string& text : {mainLog(), currentLog()}) {
        std::vector<std::string> records = recordsAfterOpening(text);
        ASSERT_FALSE(records.empty()) << text;
        for (const std::string& record : records)
            EXPECT_TRUE(std::regex_match(record, std::regex(kRecord))) << record;
        EXPECT_TRUE(std::regex_search(
            text, std::regex("\n[^\n]*,Info,\\d+,NON,,wmain,OrvelVssAgent\\.exe invoked\\.\n")));
        EXPECT_TRUE(
            std::regex_search(text, std::regex("\n[^\n]*,Control,\\d+,NON,Tweaks,print,t_qlogMaxFiles=3\n")));
        EXPECT_TRUE(std::regex_search(
            text, std::regex("\n[^\n]*,Error,\\d+,NON,,wmain,ArgumentsParser failed ret=1 \n")));
    }
    // The .current client's writer starts after the main client is registered,
    // so its start is always in the main log.
    EXPECT_TRUE(std::regex_search(
        mainLog(), std::regex(",Info,\\d+,NON,ThreadWrapper,threadCallback,Starting "
                              "ThreadWrapper of type class FileLoggerClient internalId=\\d+ \n")))
        << mainLog();
}

} // namespace
#endif
