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
    EXPECT_EQ(L"10.0.0.1", arguments.m_localUrl);
    EXPECT_EQ(L"8080", arguments.m_localPort);
    EXPECT_EQ(L"", arguments.m_peerUrl);
    EXPECT_EQ(L"0", arguments.m_peerPort);
    EXPECT_EQ(L"tag one", arguments.m_tag);
    EXPECT_EQ(-1, requester().m_backupType);
    EXPECT_TRUE(requester().m_volumes.empty());
}

TEST_F(ArgumentsParserTest, UsageErrorsPrintTheExactLines) {
    ParseOutcome few = parse({L"a", L"b", L"c", L"d"});
    EXPECT_EQ(1, few.result);
    EXPECT_EQ(kUsage, few.out);
    EXPECT_TRUE(LogCapture::instance().hasMessage("Had to print usage"));

    ParseOutcome emptyTag = parse({L"a", L"b", L"c", L"d", L""});
    EXPECT_EQ(1, emptyTag.result);
    EXPECT_EQ(kUsage, emptyTag.out);

    ParseOutcome noEquals = parse({L"a", L"b", L"c", L"d", L"t", L"volumes"});
    EXPECT_EQ(1, noEquals.result);
    EXPECT_EQ(std::string("volumes is not in keyword=value format\n") + kUsage, noEquals.out);

    ParseOutcome gui = parse({L"a", L"b", L"c", L"d", L"t", L"-GUI"});
    EXPECT_EQ(1, gui.result);
    EXPECT_EQ(std::string("-GUI is not in keyword=value format\n") + kUsage, gui.out);

    ParseOutcome wrongCase = parse({L"a", L"b", L"c", L"d", L"t", L"Volumes=x"});
    EXPECT_EQ(1, wrongCase.result);
    EXPECT_EQ(std::string("Keyword is not recognized: Volumes\nAllowed keywords: volumes,backupType,\n") +
                  kUsage,
              wrongCase.out);
}

TEST_F(ArgumentsParserTest, VolumesSplitAtEveryComma) {
    parse({L"a", L"b", L"c", L"d", L"t", L"volumes=C:\\,,D:\\ x,"});
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\", L"", L"D:\\ x"}), requester().m_volumes);
    EXPECT_TRUE(LogCapture::instance().hasMessage("Keyword argument - volumes: C:\\,,D:\\ x,"));

    parse({L"a", L"b", L"c", L"d", L"t", L"volumes="});
    EXPECT_TRUE(requester().m_volumes.empty());

    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L"", L"c"}), splitVolumes(L"a,b,,c,"));
    EXPECT_EQ((std::vector<std::wstring>{L"", L"a"}), splitVolumes(L",a"));
}

TEST_F(ArgumentsParserTest, BackupTypeKeepsTheFirstValueAndIsLogged) {
    ParseOutcome o = parse({L"a", L"b", L"c", L"d", L"t", L"backupType=1", L"backupType=2", L"x=y=z"});
    EXPECT_EQ(1, o.result) << "x is not a keyword";

    o = parse({L"a", L"b", L"c", L"d", L"t", L"backupType=1", L"backupType=2"});
    EXPECT_EQ(0, o.result);
    EXPECT_EQ(1, requester().m_backupType);
    EXPECT_TRUE(LogCapture::instance().hasMessage(
        "Backup type is modified to:  arguments.m_snapshotFlow.m_argsRequester.m_backupType=1 "));

    parse({L"a", L"b", L"c", L"d", L"t", L"backupType=4294967295"});
    EXPECT_EQ(-1, requester().m_backupType);
    EXPECT_TRUE(LogCapture::instance().hasMessageContaining("m_backupType=4294967295 "));
}

TEST(Stoul32, FollowsTheStandardConversion) {
    EXPECT_EQ(2ul, stoul32(L"2"));
    EXPECT_EQ(12ul, stoul32(L"12abc"));
    EXPECT_EQ(7ul, stoul32(L" \t+7"));
    EXPECT_EQ(4294967295ul, stoul32(L"-1"));
    EXPECT_EQ(1ul, stoul32(L"-4294967295"));
    EXPECT_EQ(4294967295ul, stoul32(L"0004294967295"));

    for (const wchar_t* bad : {L"", L"x", L"+", L" -", L"=1"}) {
        try {
            stoul32(bad);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ("invalid stoul argument", e.what());
        }
    }
    for (const wchar_t* big : {L"4294967296", L"-4294967296", L"99999999999999999999999"}) {
        try {
            stoul32(big);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ("stoul argument out of range", e.what());
        }
    }
}

TEST(ArgsParserUtils, LogsEveryArgumentButTheProgramCutTo50Bytes) {
    LogCapture::instance().clear();
    std::wstring longArg(80, L'x');
    const wchar_t* argv[] = {L"OrvelVssAgent.exe", L"-GUI", longArg.c_str(), L"caf\u00e9"};
    ArgsParserUtils::printArgs(4, argv);
    EXPECT_EQ((std::vector<std::string>{"arguments are :", "-GUI", std::string(50, 'x'), "caf?"}),
              LogCapture::instance().messages());
}
