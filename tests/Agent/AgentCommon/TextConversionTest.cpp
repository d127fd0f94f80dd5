#include "AgentCommon/TextConversion.h"

#include <gtest/gtest.h>

#include <vector>

TEST(TextConversion, NarrowKeepsAsciiAndReplacesTheRest) {
    EXPECT_EQ("C:\\vol x=1,2", narrowText(L"C:\\vol x=1,2"));
    EXPECT_EQ("a?b?", narrowText(std::wstring(L"a\u00e9b") + static_cast<wchar_t>(0xD800)));
    EXPECT_EQ("", narrowText(static_cast<const wchar_t*>(nullptr)));
}

TEST(TextConversion, Utf8OfUtf16UnitsReplacesUnpairedSurrogates) {
    const struct {
        std::vector<wchar_t> units;
        std::string expected;
    } rows[] = {
        {{0xE9, 0x20AC}, "\xC3\xA9\xE2\x82\xAC"},  {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {{L'a', 0xD83D}, "a\xEF\xBF\xBD"},         {{0xDE00, L'c'}, std::string("\xEF\xBF\xBD") + "c"},
        {{L'a', 0, L'b'}, std::string("a\0b", 3)},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.expected, utf8Text(row.units.data(), row.units.size()));
}
