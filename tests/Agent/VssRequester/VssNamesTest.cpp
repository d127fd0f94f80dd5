// The names that follow a VSS code in the log, and the GUID
// text of the writer records.
#include "VssRequester/VssNames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Names the end-to-end runs do not meet: the table's edges and gaps, and the
// codes that share a text. The writer states are checked through the run
// record's names.
TEST(VssNames, ResultNameIsTheTextInParenthesesOrNothing) {
    const std::pair<u32, std::string> rows[] = {
        {0x80070005, ""}, // not a shadow-copy code
        {0x80042303, ""}, // a gap in the table
        {0x800423FF, " (VSS_E_RESYNC_IN_PROGRESS) "},
        {0x8000FFFF,
         " (The shadow copy provider had an error. Please see the system and application event logs "
         "for more information) "},
        {0x80042318,
         " (An error occurred while trying to contact VSS writers. Check for associated errors in the "
         "event log) "}, // 0x80042315's
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.second, VssNames::resultName(row.first)) << std::hex << row.first;
}

TEST(VssNames, LowByteTextStopsAtTheZeroAndKeepsOnlyTheLowByte) {
    const wchar_t guid[] = L"{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}";
    EXPECT_EQ("{4CA6E6D4-15AF-432D-BF02-A633B6F71ACE}", VssNames::lowByteText(guid));
    const wchar_t wide[] = {0x0141, L'x', 0, L'y', 0};
    EXPECT_EQ("\x41x", VssNames::lowByteText(wide));
    EXPECT_EQ("", VssNames::lowByteText(nullptr));
}
