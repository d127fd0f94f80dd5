#include "AgentCommon/ArgumentsParser.h"
#include "AgentCommon/ArgsParserUtils.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {
// Parses the five positional arguments, then `keywords`.
int parse(AgentArguments& arguments, std::vector<const wchar_t*> keywords) {
    keywords.insert(keywords.begin(), {L"OrvelVssAgent.exe", L"a", L"b", L"c", L"d", L"t"});
    return ParseDr(static_cast<int>(keywords.size()), keywords.data(), arguments);
}
} // namespace

TEST(ArgumentsParser, VolumesSplitAtEveryCommaAndTheFirstBackupTypeIsKeptAndLogged) {
    LogCapture::instance().clear();
    AgentArguments arguments;
    const ArgsRequester& requester = arguments.m_snapshotFlow.m_argsRequester;
    EXPECT_EQ(0, parse(arguments, {L"volumes=C:\\,,D:\\ x,", L"backupType=1", L"backupType=2"}));
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\", L"", L"D:\\ x"}), requester.m_volumes);
    EXPECT_EQ(1, requester.m_backupType);
    EXPECT_TRUE(LogCapture::instance().hasMessage(
        "Backup type is modified to:  arguments.m_snapshotFlow.m_argsRequester.m_backupType=1 "));
    parse(arguments, {L"volumes=", L"backupType=4294967295"});
    EXPECT_TRUE(requester.m_volumes.empty());
    EXPECT_EQ(-1, requester.m_backupType);
}

TEST(Stoul32, FollowsTheStandardConversion) {
    auto outcome = [](const wchar_t* text) -> std::string {
        try {
            return std::to_string(stoul32(text));
        } catch (const std::exception& e) { // which one shows in the text
            return e.what();
        }
    };
    const std::string invalid = "invalid stoul argument", range = "stoul argument out of range";
    // clang-format off
    const std::pair<const wchar_t*, std::string> rows[] = {{L"12abc", "12"}, {L" \t+7", "7"}, {L"-1", "4294967295"},
        {L"-4294967295", "1"}, {L"0004294967295", "4294967295"}, {L"", invalid}, {L"x", invalid}, {L"+", invalid},
        {L" -", invalid}, {L"=1", invalid}, {L"4294967296", range}, {L"-4294967296", range},
        {L"99999999999999999999999", range}};
    // clang-format on
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(expected, outcome(text));
}

TEST(ArgsParserUtils, LogsEveryArgumentButTheProgramCutTo50Bytes) {
    LogCapture::instance().clear();
    std::wstring longArg(80, L'x');
    const wchar_t* argv[] = {L"OrvelVssAgent.exe", L"-GUI", longArg.c_str(), L"caf\u00e9"};
    ArgsParserUtils::printArgs(4, argv);
    EXPECT_EQ((std::vector<std::string>{"arguments are :", "-GUI", std::string(50, 'x'), "caf?"}),
              LogCapture::instance().messages());
}
