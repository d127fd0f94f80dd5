#include "VssRequester/LastAliveStampGuard.h"

#include "AgentCommon/PlatformErrorLog.h"
#include "AgentCommon/RunRecord.h"
#include "Log.h"

RegistryKey LastAliveStampCache::openKey(u32* error) {
    return RegistryKey::openMachineKey(kKey, ORV_LOG_COLUMNS(), error);
}

bool LastAliveStampCache::save(LastAliveStampCache& cache, u32* error) {
    u32 ignored = 0;
    u32& failure = error != nullptr ? *error : ignored;
    RegistryKey key = openKey(&failure);
    if (!key.valid())
        return false;
    DWORD type = 0;
    DWORD size = kCapacity;
    LONG result = RegQueryValueExW(key.get(), kValueName, nullptr, &type, cache.data, &size);
    if (result != ERROR_SUCCESS) {
        failure = static_cast<u32>(result);
        LOG_PLATFORM_ERROR(result, "RegQueryValueEx");
        return false;
    }
    if (type != REG_BINARY) {
        failure = ERROR_INVALID_DATA;
        LOG(LogError) << "Unexpected registry type " << type << std::endl;
        return false;
    }
    if (size > kCapacity) {
        failure = ERROR_INVALID_DATA;
        LOG(LogError) << "Unexpected data size " << size << std::endl;
        return false;
    }
    result = RegDeleteValueW(key.get(), kValueName);
    if (result != ERROR_SUCCESS) {
        failure = static_cast<u32>(result);
        LOG_PLATFORM_ERROR(result, "RegDeleteValue");
        return false;
    }
    // The value is gone by now; what the flush and close say changes nothing.
    RegFlushKey(key.get());
    key.reset();
    cache.size = size;
    LOG(LogInfo) << "Data size is " << cache.size << std::endl;
    cache.saved = true;
    return true;
}

bool LastAliveStampCache::restore(LastAliveStampCache& cache) {
    if (!cache.saved)
        return false;
    RegistryKey key = openKey();
    if (!key.valid())
        return false;
    LONG result = RegSetValueExW(key.get(), kValueName, 0, REG_BINARY, cache.data, cache.size);
    if (result != ERROR_SUCCESS) {
        LOG_PLATFORM_ERROR(result, "RegSetValueEx");
        return false;
    }
    key.reset();
    cache.saved = false;
    return true;
}

LastAliveStampGuard::LastAliveStampGuard() {
    LOG(LogInfo) << "Saving LastAliveStampCache..." << std::endl;
    u32 error = 0;
    const bool saved = LastAliveStampCache::save(m_cache, &error);
    RunRecord::current().stampSaved = saved;
    if (!saved)
        RunRecord::current().stampSaveError = error;
}

LastAliveStampGuard::~LastAliveStampGuard() {
    LOG(LogInfo) << "Restoring LastAliveStampCache..." << std::endl;
    const bool hadStamp = m_cache.saved;
    const bool restored = LastAliveStampCache::restore(m_cache);
    // Nothing to put back is not a failed restore.
    if (hadStamp)
        RunRecord::current().stampRestored = restored;
}
