#include "VssRequester/RegistryKey.h"

#include "AgentCommon/PlatformErrorLog.h"
#include "Log.h"

namespace {
// KEY_READ | KEY_WRITE, written out as the guards have always asked for it.
const REGSAM kKeyAccess = 0x2001F;
} // namespace

RegistryKey RegistryKey::openMachineKey(const wchar_t* path, const char* methodColumns, u32* error) {
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, kKeyAccess, &key);
    if (result != ERROR_SUCCESS) {
        if (error != nullptr)
            *error = static_cast<u32>(result);
        logPlatformError(methodColumns, result, "RegOpenKeyEx");
        return RegistryKey();
    }
    return RegistryKey(key);
}
