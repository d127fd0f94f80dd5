// The access list the agent gives its folder, compared entry by entry with
// the lists a folder may have (Wine keeps a folder's list only as mode bits,
// so the end-to-end run can see no more than whether Everyone may still
// write).
#ifdef _WIN32
#include "AgentCommon/AgentFolderSecurity.h"
#include "windows/UniqueHandle.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <utility>

// The list is applied again on every run where the folder's differs in any
// way; entries the children inherit compare as their own. The second row
// spells out the list wanted, as inherited: SYSTEM and Administrators full
// control, Users read and list (0x1200a9: FILE_GENERIC_READ |
// FILE_GENERIC_EXECUTE), OWNER RIGHTS reading the list only, each passed on
// to files and folders.
TEST(AgentFolderSecurity, OnlyTheSameProtectedListHasTheAccess) {
    const std::pair<const wchar_t*, bool> rows[] = {
        {AgentFolderSecurity::kAccess, true},
        {L"D:PAI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIID;RC;;;OW)", true},
        {L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;RC;;;OW)", false},
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;RC;;;OW)(A;OICI;FA;;;WD)", false},
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)(A;OICI;RC;;;OW)", false},
        {L"D:P(D;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;RC;;;OW)", false},
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},
        {L"D:P", false}};
    for (const auto& [text, hasAccess] : rows) {
        UniqueHandle<NullableHandleTraits<HLOCAL, LocalFree>> descriptor;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1,
                                                                         descriptor.out(), nullptr))
            << text;
        EXPECT_EQ(hasAccess, AgentFolderSecurity::hasAccess(descriptor.get())) << text;
    }
}
#endif
