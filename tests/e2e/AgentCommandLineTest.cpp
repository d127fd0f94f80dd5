// The agent's command-line behaviour as its caller sees it: the real
// executable, its standard output byte for byte and its full exit code.
#ifdef _WIN32
#include "support/AgentRun.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
// The agent's standard output is a text-mode stream: "\r\n" on the wire.
const std::string kUsage = "Usage: OrvelVssAgent.exe <local URL> <local port> <peer URL> <peer port> <tag> "
                           "[keyword=value ...]\r\n";

TEST(AgentCommandLine, PrintsExactlyTheseLinesAndEndsWithThisCode) {
    const struct {
        std::vector<std::wstring> arguments;
        std::string output;
        int exitCode;
    } rows[] = {
        {{}, kUsage, 1},
        {{L"a", L"b", L"c", L"d", L""}, kUsage, 1},
        // clang-format off
        {{L"a", L"b", L"c", L"d", L"t", L"volumes"}, "volumes is not in keyword=value format\r\n" + kUsage, 1},
        {{L"a", L"b", L"c", L"d", L"t", L"Volumes=x"},
         "Keyword is not recognized: Volumes\r\nAllowed keywords: volumes,backupType,\r\n" + kUsage, 1},
        // -GUI counts only as the first argument.
        {{L"a", L"b", L"c", L"d", L"t", L"-GUI"}, "-GUI is not in keyword=value format\r\n" + kUsage, 1},
        // A backup type that is no number (or out of range: Stoul32's unit rows) ends as a crash.
        {{L"a", L"b", L"c", L"d", L"t", L"backupType=x"}, "", -1004},
        // clang-format on
    };
    for (const auto& row : rows) {
        ChildResult result = ChildProcess::run(program(L"OrvelVssAgent.exe"), row.arguments);
        EXPECT_EQ(row.output, result.output) << (row.arguments.empty() ? L"" : row.arguments.back());
        EXPECT_EQ(row.exitCode, result.exitCodeSigned()) << row.output;
    }
}

} // namespace
#endif
