// The names that follow a VSS code or writer state in the log, and the GUID
// text of the writer records.
#include "VssRequester/VssNames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
// Names the end-to-end runs do not meet: the table's edges and gaps, and the
// codes that share a text.
TEST(VssNames, LookupsGiveTheNameInParenthesesOrNothing) {
    const struct {
        const char* name;
        std::string (*lookup)(u32);
        u32 key;
        std::string expected;
    } rows[] = {
        {"not VSS", VssNames::resultName, 0x80070005, ""},
        {"provider error is a sentence", VssNames::resultName, 0x8000FFFF,
         " (The shadow copy provider had an error. Please see the system and application event logs for "
         "more information) "},
        {"0x80042318 shares 0x80042315's", VssNames::resultName, 0x80042318,
         " (An error occurred while trying to contact VSS writers. Check for associated errors in the event "
         "log) "},
        {"gap in the table", VssNames::resultName, 0x80042303, ""},
        {"last", VssNames::resultName, 0x800423FF, " (VSS_E_RESYNC_IN_PROGRESS) "},
        {"beyond the states", VssNames::writerStateName, 17, ""},
        {"a result code is no state", VssNames::writerStateName, 0x80042306, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, row.lookup(row.key));
    }
}

TEST(VssNames, LowByteTextStopsAtTheZeroAndKeepsOnlyTheLowByte) {
    const wchar_t guid[] = L"{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}";
    EXPECT_EQ("{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}", VssNames::lowByteText(guid));
    const wchar_t wide[] = {0x0141, L'x', 0, L'y', 0};
    EXPECT_EQ("\x41x", VssNames::lowByteText(wide));
    EXPECT_EQ("", VssNames::lowByteText(nullptr));
}
} // namespace
