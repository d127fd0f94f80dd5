#pragma once
// What the MemoryHeap and the memory pools have in common: segments handed to
// modules go back through it, whichever allocator served them.
#include "MemorySegment.h"
#include "Types.h"

#include <cstddef>
#include <vector>

class MemoryAllocatorInterface {
public:
    virtual ~MemoryAllocatorInterface() = default;
    // Frees segments[firstIndex] to the end and drops them from the vector.
    virtual void freeSegments(std::vector<MemorySegment>& segments, size_t firstIndex) = 0;
    // Frees one segment; it is left without owner.
    virtual void freeSegment(MemorySegment& segment) = 0;
    // Raises the allocator's usage counter by bytes a client accounts to it
    // beside its segments.
    virtual void addUsage(u64 bytes) = 0;
    virtual u32 getChunkSize() const = 0;
};
