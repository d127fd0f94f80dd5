#pragma once
// A piece of memory an allocator has handed to a module: where it is, the
// bytes that were asked for (at most one chunk) and the module whose account
// holds it. A segment that is not handed out (never, or no longer) has the
// owner NoOwner; freeing such a segment is a fault.
#include "Types.h"

#include <cstdint>

class ModuleMemoryInformation;

struct MemorySegment {
    static inline ModuleMemoryInformation* const NoOwner =
        reinterpret_cast<ModuleMemoryInformation*>(~static_cast<uintptr_t>(0));

    u64 getSizeBytes() const { return m_sizeBytes; }
    ModuleMemoryInformation* getOwner() const { return m_owner; }

    void* m_ptr = nullptr;
    u64 m_sizeBytes = 0;
    ModuleMemoryInformation* m_owner = NoOwner;
};
