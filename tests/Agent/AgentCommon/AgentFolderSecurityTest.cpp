// The access list the agent gives its folder, read back entry by entry from
// the descriptor it builds (Wine keeps a folder's list only as mode bits, so
// the end-to-end run can see no more than whether Everyone may still write).
#ifdef _WIN32
#include "AgentCommon/AgentFolderSecurity.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <vector>

namespace {
struct Entry {
    WELL_KNOWN_SID_TYPE who;
    ACCESS_MASK mask;
};

PSECURITY_DESCRIPTOR descriptorOf(const wchar_t* text) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, nullptr));
    return descriptor;
}

TEST(AgentFolderSecurity, GrantsSystemAndAdministratorsAllUsersReadAndOwnersNothingMoreInheritedByAll) {
    PSECURITY_DESCRIPTOR descriptor = descriptorOf(AgentFolderSecurity::kAccess);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the parent's entries must not flow in";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);

    const std::vector<Entry> expected = {{WinLocalSystemSid, FILE_ALL_ACCESS},
                                         {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                                         {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
                                         {WinCreatorOwnerRightsSid, READ_CONTROL}};
    ASSERT_EQ(expected.size(), dacl->AceCount);
    for (size_t i = 0; i < expected.size(); ++i) {
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(dacl, static_cast<DWORD>(i), &raw));
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags) << i;
        EXPECT_EQ(expected[i].mask, ace->Mask) << i;
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(sid);
        ASSERT_TRUE(CreateWellKnownSid(expected[i].who, nullptr, sid, &size));
        EXPECT_TRUE(EqualSid(sid, const_cast<DWORD*>(&ace->SidStart))) << i;
    }
    EXPECT_TRUE(AgentFolderSecurity::hasAccess(descriptor));
    LocalFree(descriptor);
}

// Applied again on every run where the folder's list differs in any way.
TEST(AgentFolderSecurity, AnyOtherListDiffers) {
    for (const wchar_t* other :
         {L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;RC;;;OW)",
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;RC;;;OW)(A;OICI;FA;;;WD)",
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)(A;OICI;RC;;;OW)",
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", L"D:P"}) {
        PSECURITY_DESCRIPTOR descriptor = descriptorOf(other);
        EXPECT_FALSE(AgentFolderSecurity::hasAccess(descriptor)) << other;
        LocalFree(descriptor);
    }
    // Entries the children inherit compare as their own.
    PSECURITY_DESCRIPTOR inherited =
        descriptorOf(L"D:PAI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIID;RC;;;OW)");
    EXPECT_TRUE(AgentFolderSecurity::hasAccess(inherited));
    LocalFree(inherited);
}
} // namespace
#endif
