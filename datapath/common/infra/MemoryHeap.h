#pragma once
// The general heap as a MemoryAllocatorInterface: every segment is one chunk
// of 4096 bytes taken through the tracked allocation, accounted gross (whole
// chunks), net (bytes asked for) and per module. Modules are created on
// first use of their name and live as long as the process.
#include "MemoryAllocatorInterface.h"
#include "ModuleMemoryInformation.h"
#include "Mutex.h"
#include "Singleton.h"
#include "StlMemShiledContainer.h"
#include "Types.h"

#include <map>
#include <string>
#include <vector>

class MemoryHeap : public Singleton<MemoryHeap>, public MemoryAllocatorInterface {
public:
    static const u32 kChunkSize = 4096;

    // One chunk for the module; bytes must lie in 1..4096.
    MemorySegment allocateSegment(const std::string& moduleName, u32 bytes);

    void freeSegments(std::vector<MemorySegment>& segments, size_t firstIndex) override;
    void freeSegment(MemorySegment& segment) override;
    void addUsage(u64 bytes) override;
    u32 getChunkSize() const override { return kChunkSize; }

    // One Info record: gross and net usage, then each module's.
    void printMemoryUsage();

private:
    friend class Singleton<MemoryHeap>;
    MemoryHeap();

    // Takes the segment off the accounts and returns its chunk, which the
    // caller releases once the mutex is free: a release that finds the
    // chunk overrun prints the heap on its way out.
    void* freeSegmentContentLocked(MemorySegment* segment) ORV_REQUIRES(m_mutex);
    static void releaseChunks(const std::vector<void*>& chunks);

    Mutex m_mutex;
    StlMemShiledContainer<std::map<std::string, HeapModuleMemoryInformation*>> m_modules;
    u64 m_usedMemoryGross;
    u64 m_usedMemoryNet;
    u32 m_usageCounter;
};
