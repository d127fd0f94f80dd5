#pragma once
// The agent's folder under the common application-data folder (Orvel, with
// the logs, the run records and the markers of runs in progress below it) is
// made the agent's own on every run.
//
// Why: the agent reads what it finds there at every start and appends the
// records an operator's log pipeline collects. On a stock machine the parent
// folder lets every user create files in its subfolders, and a folder
// created without a descriptor inherits that: any local account could leave
// a file that stops or fakes a run, or append lines that pass for the
// agent's. So the folder gets a protected access list (SYSTEM and
// Administrators full control, Users read and list, nothing inherited from
// the parent), and every file and folder below it is reset to inherit that
// alone, so that a file someone planted before keeps no entry of its own.
// The OWNER RIGHTS entry takes from a planted file's owner the implicit right
// to change its access list. Windows only.
#include "Types.h"

#include <string>

#include <windows.h>

class AgentFolderSecurity {
public:
    // What the folder's access list is made.
    static constexpr const wchar_t* kAccess =
        L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;RC;;;OW)";

    struct Result {
        bool changed = false;  // the list differed and was applied
        u32 error = 0;         // 0, or the platform error of `call`
        const char* call = ""; // the failing call
    };
    // Applies kAccess to `folder` and resets the tree below it, unless the
    // folder's list is kAccess already.
    static Result apply(const std::wstring& folder);
    // Whether `descriptor`'s access list is protected and grants exactly
    // what kAccess does (inherited entries compare as their own).
    static bool hasAccess(PSECURITY_DESCRIPTOR descriptor);
};
