// The access list the agent gives its folder, read back entry by entry from
// the descriptor it builds (Wine keeps a folder's list only as mode bits, so
// the end-to-end run can see no more than whether Everyone may still write).
#ifdef _WIN32
#include "AgentCommon/AgentFolderSecurity.h"
#include "windows/UniqueHandle.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <iterator>
#include <utility>

namespace {
using LocalMemory = UniqueHandle<NullableHandleTraits<HLOCAL, LocalFree>>;

LocalMemory descriptorOf(const wchar_t* text) {
    LocalMemory descriptor;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, descriptor.out(),
                                                                     nullptr))
        << text;
    return descriptor;
}

TEST(AgentFolderSecurity, GrantsSystemAndAdministratorsAllUsersReadAndOwnersNothingMoreInheritedByAll) {
    const LocalMemory descriptor = descriptorOf(AgentFolderSecurity::kAccess);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the parent's entries must not flow in";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) && present && dacl);

    const std::pair<WELL_KNOWN_SID_TYPE, ACCESS_MASK> expected[] = {
        {WinLocalSystemSid, FILE_ALL_ACCESS},
        {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
        {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
        {WinCreatorOwnerRightsSid, READ_CONTROL}};
    ASSERT_EQ(std::size(expected), dacl->AceCount);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &raw));
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags) << i;
        EXPECT_EQ(expected[i].second, ace->Mask) << i;
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(sid);
        ASSERT_TRUE(CreateWellKnownSid(expected[i].first, nullptr, sid, &size));
        EXPECT_TRUE(EqualSid(sid, const_cast<DWORD*>(&ace->SidStart))) << i;
    }
}

// The list is applied again on every run where the folder's differs in any
// way; entries the children inherit compare as their own.
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
    for (const auto& row : rows)
        EXPECT_EQ(row.second, AgentFolderSecurity::hasAccess(descriptorOf(row.first).get())) << row.first;
}
} // namespace
#endif
