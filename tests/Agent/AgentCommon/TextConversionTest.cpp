// narrowText's '?' for what is not ASCII shows in the logged arguments
// (ArgsParserUtils); the log record fuzz target holds both conversions to
// their bounds on any units.
#include "AgentCommon/TextConversion.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

TEST(TextConversion, Utf8ReplacesUnpairedSurrogatesAndNoTextNarrowsToNothing) {
    const std::pair<std::vector<wchar_t>, std::string> rows[] = {
        {{0xE9, 0x20AC}, "\xC3\xA9\xE2\x82\xAC"},  {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {{L'a', 0xD83D}, "a\xEF\xBF\xBD"},         {{0xDE00, L'c'}, std::string("\xEF\xBF\xBD") + "c"},
        {{L'a', 0, L'b'}, std::string("a\0b", 3)},
    };
    for (const auto& [units, expected] : rows)
        EXPECT_EQ(expected, utf8Text(units.data(), units.size()));
    EXPECT_EQ("", narrowText(static_cast<const wchar_t*>(nullptr)));
}
