#pragma once
// The agent's event source registration as found in the registry: the
// EventMessageFile and TypesSupported values, each read back as its type and
// raw bytes. Anyone may have written them, so any type or length is taken
// and only an exact match counts as current. Platform-free.
#include "Types.h"

#include <string>
#include <vector>

class EventSourceValues {
public:
    // The platform's value types.
    static const u32 kString = 1;
    static const u32 kExpandString = 2;
    static const u32 kDword = 4;
    // Error, warning and information entries.
    static const u32 kTypesSupported = 7;

    // True when the message file is `exePath` (ASCII letters in any case;
    // one terminating null or none) and the supported types are exactly
    // kTypesSupported as a 32-bit number.
    static bool current(u32 fileType, const std::vector<u8>& fileBytes, u32 typesType,
                        const std::vector<u8>& typesBytes, const std::u16string& exePath);
};
