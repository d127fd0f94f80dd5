#pragma once
// The reliability stamp around the snapshot. The system reads it at start-up
// to tell whether it went down cleanly; a machine brought back to the
// checkpoint taken here must not find the stamp of the frozen moment. It is
// removed for the snapshot's time and written back afterwards with the same
// bytes. If the agent dies in between, the saved bytes are lost. Windows only.
#include "Types.h"
#include "VssRequester/RegistryKey.h"

// The saved value, and the operations that move it out of the registry and
// back.
struct LastAliveStampCache {
    static const u32 kCapacity = 16;

    u8 data[kCapacity] = {};
    u32 size = 0;       // valid bytes in data
    bool saved = false; // from a successful save until a successful restore

    // Reads the value into `cache` and deletes it. False, with the value left
    // as it was, when it is absent, unreadable, not REG_BINARY or longer
    // than kCapacity; `error`, when given, then receives the failing
    // registry call's code (ERROR_INVALID_DATA for a value of the wrong kind).
    [[nodiscard]] static bool save(LastAliveStampCache& cache, u32* error = nullptr);
    // Writes a saved value back. False, touching nothing, when nothing was
    // saved; false, still saved, when the write failed.
    [[nodiscard]] static bool restore(LastAliveStampCache& cache);
    // The reliability key for reading and writing; an invalid key when it
    // cannot be opened (logged, and its code put in `error` when given).
    static RegistryKey openKey(u32* error = nullptr);

    static constexpr const wchar_t* kKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";
    static constexpr const wchar_t* kValueName = L"LastAliveStamp";
};

// Holds the stamp out of the registry for its lifetime. Results are logged,
// never acted on: the snapshot goes ahead either way.
class LastAliveStampGuard {
public:
    LastAliveStampGuard();
    ~LastAliveStampGuard();
    LastAliveStampGuard(const LastAliveStampGuard&) = delete;
    LastAliveStampGuard& operator=(const LastAliveStampGuard&) = delete;

private:
    LastAliveStampCache m_cache;
};
