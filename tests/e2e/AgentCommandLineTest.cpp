// The agent's command-line behaviour as its caller sees it: the real
// executable, its standard output byte for byte and its full exit code.
#ifdef _WIN32
#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {
const char* const kUsage = "Usage: OrvelVssAgent.exe <local URL> <local port> <peer URL> <peer port> <tag> "
                           "[keyword=value ...]";
const int kExitUsage = 1;
const int kExitCrashed = -1004;

// The agent's standard output is a text-mode stream: each line ends in "\r\n"
// on the wire, which is what a caller reading the pipe receives.
std::string lines(std::initializer_list<const char*> texts) {
    std::string joined;
    for (const char* text : texts)
        joined += std::string(text) + "\r\n";
    return joined;
}

class AgentCommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        m_agent = ChildProcess::currentExecutableFolder() + L"OrvelVssAgent.exe";
        ASSERT_NE(GetFileAttributesW(m_agent.c_str()), INVALID_FILE_ATTRIBUTES)
            << "the agent executable is expected beside the test executable";
    }

    ChildResult runAgent(const std::vector<std::wstring>& arguments) {
        ChildResult result = ChildProcess::run(m_agent, arguments);
        EXPECT_TRUE(result.started) << "CreateProcessW error " << result.error;
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    std::wstring m_agent;
};

TEST_F(AgentCommandLine, WithoutArgumentsPrintsUsage) {
    ChildResult result = runAgent({});
    EXPECT_EQ(result.output, lines({kUsage}));
    EXPECT_EQ(result.exitCodeSigned(), kExitUsage);
}

TEST_F(AgentCommandLine, EmptyTagIsUsageError) {
    ChildResult result = runAgent({L"a", L"b", L"c", L"d", L""});
    EXPECT_EQ(result.output, lines({kUsage}));
    EXPECT_EQ(result.exitCodeSigned(), kExitUsage);
}

TEST_F(AgentCommandLine, KeywordArgumentWithoutEqualsSignIsNamed) {
    ChildResult result = runAgent({L"a", L"b", L"c", L"d", L"t", L"volumes"});
    EXPECT_EQ(result.output, lines({"volumes is not in keyword=value format", kUsage}));
    EXPECT_EQ(result.exitCodeSigned(), kExitUsage);
}

TEST_F(AgentCommandLine, KeywordsAreCaseSensitive) {
    ChildResult result = runAgent({L"a", L"b", L"c", L"d", L"t", L"Volumes=x"});
    EXPECT_EQ(result.output,
              lines({"Keyword is not recognized: Volumes", "Allowed keywords: volumes,backupType,", kUsage}));
    EXPECT_EQ(result.exitCodeSigned(), kExitUsage);
}

TEST_F(AgentCommandLine, GuiSwitchCountsOnlyAsFirstArgument) {
    ChildResult late = runAgent({L"a", L"b", L"c", L"d", L"t", L"-GUI"});
    EXPECT_EQ(late.output, lines({"-GUI is not in keyword=value format", kUsage}));
    EXPECT_EQ(late.exitCodeSigned(), kExitUsage);

    ChildResult alone = runAgent({L"-GUI"});
    EXPECT_EQ(alone.output, lines({kUsage}));
    EXPECT_EQ(alone.exitCodeSigned(), kExitUsage);
}

TEST_F(AgentCommandLine, BackupTypeThatIsNoNumberEndsAsCrash) {
    const char* const values[] = {"x", "", "4294967296"};
    for (const char* value : values) {
        SCOPED_TRACE(std::string("backupType=") + value);
        std::string text(value);
        ChildResult result =
            runAgent({L"a", L"b", L"c", L"d", L"t", L"backupType=" + std::wstring(text.begin(), text.end())});
        EXPECT_EQ(result.exitCodeSigned(), kExitCrashed);
        EXPECT_EQ(result.exitCode, 0xFFFFFC14ul);
        EXPECT_EQ(result.output, "");
    }
}

TEST_F(AgentCommandLine, ExternallyInitiatedNeedsNoOtherArguments) {
    ChildResult result = runAgent({L"-ExternallyInitiated"});
    EXPECT_NE(result.exitCodeSigned(), kExitUsage);
    EXPECT_EQ(result.output.find("Usage:"), std::string::npos) << result.output;
}
} // namespace
#endif
