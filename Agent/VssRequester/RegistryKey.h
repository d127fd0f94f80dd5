#pragma once
// Sole owner of an open registry key, and the one way the crash-recovery
// guards open theirs.
#include "Types.h"
#include "windows/UniqueHandle.h"

#include <windows.h>

class RegistryKey : public UniqueHandle<NullableHandleTraits<HKEY, &RegCloseKey>> {
public:
    using UniqueHandle::UniqueHandle;

    // HKLM\<path> with the access the guards need (read, write, flush). A
    // failure is logged as "Error <code> in RegOpenKeyEx." under the caller's
    // method columns and its code stored in *error when given; the key is
    // then not valid.
    [[nodiscard]] static RegistryKey openMachineKey(const wchar_t* path, const char* methodColumns,
                                                    u32* error = nullptr);

    // Closes the key now, for a caller that reports the result;
    // ERROR_SUCCESS when none was open.
    [[nodiscard]] LONG close() {
        HKEY key = release();
        return key == nullptr ? ERROR_SUCCESS : RegCloseKey(key);
    }
};
