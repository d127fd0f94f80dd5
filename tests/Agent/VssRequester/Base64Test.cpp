#include "VssRequester/Base64.h"

#include <gtest/gtest.h>

#include <vector>

TEST(Base64, TagsAsUtf16Le) {
    // A character beyond the first plane, as the platform's wide text holds it.
    const std::wstring emoji = sizeof(wchar_t) == 2 ? std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}
                                                    : std::wstring{wchar_t(0x1F600)};
    const struct {
        std::wstring tag;
        const char* encoded;
    } rows[] = {
        {L"abc", "YQBiAGMA"}, {L"a", "YQA="},      {L"ab", "YQBiAA=="}, {L"", ""},
        {L"\u00e9", "6QA="},  {emoji, "PdgA3g=="},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.encoded, Base64::encodeUtf16Le(row.tag)) << row.encoded;
}

TEST(Base64, IndexesSixtyTwoAndSixtyThree) {
    const struct {
        std::vector<u8> bytes;
        const char* encoded;
    } rows[] = {
        {{0xFF, 0xFF, 0xFF}, "----"},
        {{0xFB, 0xEF, 0xBE}, "++++"},
        {{0xF8}, "+A=="},
        {{0x00, 0x10, 0x83}, "ABCD"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.encoded, Base64::encode(row.bytes.data(), row.bytes.size())) << row.encoded;
}
