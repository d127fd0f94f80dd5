#include "AgentCommon/ArgumentsParser.h"
#include "AgentCommon/ArgsParserUtils.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: OrvelVssAgent.exe <local URL> <local port> <peer URL> <peer port> <tag> [keyword=value ...]\n";

struct ParseOutcome {
    int result;
    std::string out;
};

class ArgumentsParserTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }

    ParseOutcome parse(std::vector<std::wstring> args) {
        args.insert(args.begin(), L"OrvelVssAgent.exe");
        std::vector<const wchar_t*> argv;
        for (const std::wstring& a : args)
            argv.push_back(a.c_str());
        ::testing::internal::CaptureStdout();
        int r = ParseDr(static_cast<int>(argv.size()), argv.data(), arguments);
        return ParseOutcome{r, ::testing::internal::GetCapturedStdout()};
    }

    ArgsRequester& requester() { return arguments.m_snapshotFlow.m_argsRequester; }

    AgentArguments arguments;
};

} // namespace

TEST_F(ArgumentsParserTest, FivePositionalArgumentsAreEnough) {
    ParseOutcome o = parse({L"10.0.0.1", L"8080", L"", L"0", L"tag one"});
    EXPECT_EQ(0, o.result);
    EXPECT_EQ("", o.out);
    EXPECT_EQ(L"10.0.0.1|8080||0|tag one", arguments.m_localUrl + L"|" + arguments.m_localPort + L"|" +
                                               arguments.m_peerUrl + L"|" + arguments.m_peerPort + L"|" +
                                               arguments.m_tag);
    EXPECT_EQ(-1, requester().m_backupType);
    EXPECT_TRUE(requester().m_volumes.empty());
}

TEST_F(ArgumentsParserTest, UsageErrorsPrintTheExactLines) {
    const struct {
        std::vector<std::wstring> args;
        std::string before; // printed ahead of the usage line
    } rows[] = {
        {{L"a", L"b", L"c", L"d"}, ""},
        {{L"a", L"b", L"c", L"d", L""}, ""},
        {{L"a", L"b", L"c", L"d", L"t", L"volumes"}, "volumes is not in keyword=value format\n"},
        {{L"a", L"b", L"c", L"d", L"t", L"-GUI"}, "-GUI is not in keyword=value format\n"},
        {{L"a", L"b", L"c", L"d", L"t", L"Volumes=x"},
         "Keyword is not recognized: Volumes\nAllowed keywords: volumes,backupType,\n"},
        {{L"a", L"b", L"c", L"d", L"t", L"backupType=1", L"x=y=z"},
         "Keyword is not recognized: x\nAllowed keywords: volumes,backupType,\n"},
    };
    for (const auto& row : rows) {
        ParseOutcome o = parse(row.args);
        EXPECT_EQ(1, o.result) << row.before;
        EXPECT_EQ(row.before + kUsage, o.out);
    }
    EXPECT_TRUE(LogCapture::instance().hasMessage("Had to print usage"));
}

TEST_F(ArgumentsParserTest, VolumesSplitAtEveryComma) {
    parse({L"a", L"b", L"c", L"d", L"t", L"volumes=C:\\,,D:\\ x,"});
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\", L"", L"D:\\ x"}), requester().m_volumes);
    parse({L"a", L"b", L"c", L"d", L"t", L"volumes="});
    EXPECT_TRUE(requester().m_volumes.empty());
    EXPECT_EQ((std::vector<std::wstring>{L"", L"a"}), splitVolumes(L",a"));
}

TEST_F(ArgumentsParserTest, BackupTypeKeepsTheFirstValueAndIsLogged) {
    EXPECT_EQ(0, parse({L"a", L"b", L"c", L"d", L"t", L"backupType=1", L"backupType=2"}).result);
    EXPECT_EQ(1, requester().m_backupType);
    EXPECT_TRUE(LogCapture::instance().hasMessage(
        "Backup type is modified to:  arguments.m_snapshotFlow.m_argsRequester.m_backupType=1 "));
    parse({L"a", L"b", L"c", L"d", L"t", L"backupType=4294967295"});
    EXPECT_EQ(-1, requester().m_backupType);
}

TEST(Stoul32, FollowsTheStandardConversion) {
    const std::pair<const wchar_t*, unsigned long> good[] = {{L"12abc", 12},
                                                             {L" \t+7", 7},
                                                             {L"-1", 4294967295ul},
                                                             {L"-4294967295", 1},
                                                             {L"0004294967295", 4294967295ul}};
    for (const auto& row : good)
        EXPECT_EQ(row.second, stoul32(row.first));
    auto thrown = [](const wchar_t* text) -> std::string {
        try {
            stoul32(text);
        } catch (const std::invalid_argument& e) {
            return std::string("invalid: ") + e.what();
        } catch (const std::out_of_range& e) {
            return std::string("range: ") + e.what();
        }
        return "none";
    };
    for (const wchar_t* bad : {L"", L"x", L"+", L" -", L"=1"})
        EXPECT_EQ("invalid: invalid stoul argument", thrown(bad));
    for (const wchar_t* big : {L"4294967296", L"-4294967296", L"99999999999999999999999"})
        EXPECT_EQ("range: stoul argument out of range", thrown(big));
}

TEST(ArgsParserUtils, LogsEveryArgumentButTheProgramCutTo50Bytes) {
    LogCapture::instance().clear();
    std::wstring longArg(80, L'x');
    const wchar_t* argv[] = {L"OrvelVssAgent.exe", L"-GUI", longArg.c_str(), L"caf\u00e9"};
    ArgsParserUtils::printArgs(4, argv);
    EXPECT_EQ((std::vector<std::string>{"arguments are :", "-GUI", std::string(50, 'x'), "caf?"}),
              LogCapture::instance().messages());
}
