#include "AgentCommon/AgentFolderSecurity.h"

#include "windows/UniqueHandle.h"

#include <aclapi.h>
#include <sddl.h>

namespace {
// What the security calls hand out with LocalAlloc.
using LocalMemory = UniqueHandle<NullableHandleTraits<HLOCAL, LocalFree>>;

bool daclOf(PSECURITY_DESCRIPTOR descriptor, PACL& dacl) {
    BOOL present = FALSE, defaulted = FALSE;
    return GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl != nullptr;
}

bool sameEntries(PACL have, PACL want) {
    ACL_SIZE_INFORMATION haveSize = {}, wantSize = {};
    if (!GetAclInformation(have, &haveSize, sizeof(haveSize), AclSizeInformation) ||
        !GetAclInformation(want, &wantSize, sizeof(wantSize), AclSizeInformation) ||
        haveSize.AceCount != wantSize.AceCount)
        return false;
    for (DWORD i = 0; i < wantSize.AceCount; ++i) {
        void* haveAce = nullptr;
        void* wantAce = nullptr;
        if (!GetAce(have, i, &haveAce) || !GetAce(want, i, &wantAce))
            return false;
        const auto* a = static_cast<const ACCESS_ALLOWED_ACE*>(haveAce);
        const auto* b = static_cast<const ACCESS_ALLOWED_ACE*>(wantAce);
        if (a->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || b->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (a->Header.AceFlags & ~INHERITED_ACE) != b->Header.AceFlags || a->Mask != b->Mask ||
            !EqualSid(const_cast<DWORD*>(&a->SidStart), const_cast<DWORD*>(&b->SidStart)))
            return false;
    }
    return true;
}

// kAccess as a descriptor, which owns the access list it yields.
bool wanted(LocalMemory& descriptor, PACL& dacl) {
    PSECURITY_DESCRIPTOR built = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(AgentFolderSecurity::kAccess, SDDL_REVISION_1,
                                                              &built, nullptr))
        return false;
    descriptor.reset(built);
    return daclOf(built, dacl);
}

bool protectedWith(PSECURITY_DESCRIPTOR descriptor, PACL want) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    PACL have = nullptr;
    return GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED) &&
           daclOf(descriptor, have) && sameEntries(have, want);
}
} // namespace

bool AgentFolderSecurity::hasAccess(PSECURITY_DESCRIPTOR descriptor) {
    LocalMemory want;
    PACL dacl = nullptr;
    return wanted(want, dacl) && protectedWith(descriptor, dacl);
}

AgentFolderSecurity::Result AgentFolderSecurity::apply(const std::wstring& folder) {
    LocalMemory want;
    PACL dacl = nullptr;
    if (!wanted(want, dacl))
        return {false, GetLastError(), "ConvertStringSecurityDescriptorToSecurityDescriptorW"};
    PSECURITY_DESCRIPTOR current = nullptr;
    DWORD error = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, nullptr, nullptr, &current);
    LocalMemory currentOwned(current);
    if (error == ERROR_SUCCESS && protectedWith(current, dacl))
        return {};

    // The folder's own list first, on its own: it is what keeps others out
    // from now on, and it holds even where the reset below is not carried
    // out in full. Then the tree, without keeping explicit entries: whatever
    // a file below was given before gives way to what it inherits.
    error = SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS)
        return {false, error, "SetNamedSecurityInfoW"};
    error =
        TreeResetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, dacl, nullptr, FALSE, nullptr, ProgressInvokeNever, nullptr);
    if (error != ERROR_SUCCESS)
        return {false, error, "TreeResetNamedSecurityInfoW"};
    return {true, 0, ""};
}
