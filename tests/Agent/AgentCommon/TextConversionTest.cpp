#include "AgentCommon/TextConversion.h"

#include <gtest/gtest.h>

TEST(TextConversion, KeepsAsciiAndReplacesTheRest) {
    EXPECT_EQ("C:\\vol x=1,2", narrowText(L"C:\\vol x=1,2"));
    EXPECT_EQ("a?b?", narrowText(std::wstring(L"a\u00e9b") + static_cast<wchar_t>(0xD800)));
    EXPECT_EQ("", narrowText(static_cast<const wchar_t*>(nullptr)));
}
