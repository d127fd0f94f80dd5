#include "MemoryHeap.h"

#include "Log.h"
#include "TrackedNew.h"

#include <sstream>

MemoryHeap::MemoryHeap()
    : m_modules("MemoryHeapModules"), m_usedMemoryGross(0), m_usedMemoryNet(0), m_usageCounter(0) {}

MemorySegment MemoryHeap::allocateSegment(const std::string& moduleName, u32 bytes) {
    ORV_CHECK(bytes > 0 && bytes <= kChunkSize, " bytes=" << bytes << " ");
    // Tracked objects are created without the mutex: creating one may log.
    s8* chunk = ORV_NEW_ARRAY(s8, kChunkSize);
    bool known = false;
    {
        MutexGuard guard(m_mutex);
        known = m_modules.find(moduleName) != m_modules.end();
    }
    HeapModuleMemoryInformation* spare = known ? nullptr : ORV_NEW(HeapModuleMemoryInformation)(moduleName);
    MemorySegment segment;
    {
        MutexGuard guard(m_mutex);
        auto inserted = m_modules.emplace(moduleName, spare);
        if (inserted.second)
            spare = nullptr;
        HeapModuleMemoryInformation* mmi = inserted.first->second;
        mmi->addUsedBytes(kChunkSize);
        m_usedMemoryGross += kChunkSize;
        m_usedMemoryNet += bytes;
        segment.m_ptr = chunk;
        segment.m_sizeBytes = bytes;
        segment.m_owner = mmi;
    }
    trackedDelete(spare); // another thread registered the module meanwhile
    return segment;
}

void* MemoryHeap::freeSegmentContentLocked(MemorySegment* segment) {
    ModuleMemoryInformation* mmi = segment->getOwner();
    ORV_CHECK(mmi != MemorySegment::NoOwner, "");
    // NOLINTNEXTLINE(modernize-use-nullptr): the condition's text is the assertion's record
    ORV_CHECK(mmi != 0, "");
    ORV_CHECK(mmi->isHeapMemory(), "");
    ORV_CHECK(m_usedMemoryGross >= getChunkSize(), " m_usedMemoryGross=" << m_usedMemoryGross << " ");
    ORV_CHECK(mmi->getCurrentlyUsedBytes() >= getChunkSize(),
              " mmi->getCurrentlyUsedBytes()=" << mmi->getCurrentlyUsedBytes() << " ");
    ORV_CHECK(m_usedMemoryNet >= segment->getSizeBytes(),
              " m_usedMemoryNet=" << m_usedMemoryNet << " "
                                  << " segment->getSizeBytes()=" << segment->getSizeBytes() << " ");
    m_usedMemoryGross -= getChunkSize();
    mmi->removeUsedBytes(getChunkSize());
    m_usedMemoryNet -= segment->getSizeBytes();
    void* chunk = segment->m_ptr;
    *segment = MemorySegment();
    return chunk;
}

void MemoryHeap::releaseChunks(const std::vector<void*>& chunks) {
    for (void* chunk : chunks)
        trackedDeleteArray(static_cast<s8*>(chunk));
}

void MemoryHeap::freeSegments(std::vector<MemorySegment>& segments, size_t firstIndex) {
    std::vector<void*> chunks;
    {
        MutexGuard guard(m_mutex);
        for (size_t i = firstIndex; i < segments.size(); ++i)
            chunks.push_back(freeSegmentContentLocked(&segments[i]));
    }
    if (firstIndex < segments.size())
        segments.resize(firstIndex);
    releaseChunks(chunks);
}

void MemoryHeap::freeSegment(MemorySegment& segment) {
    void* chunk = nullptr;
    {
        MutexGuard guard(m_mutex);
        chunk = freeSegmentContentLocked(&segment);
    }
    releaseChunks({chunk});
}

void MemoryHeap::addUsage(u64 bytes) {
    MutexGuard guard(m_mutex);
    m_usageCounter += static_cast<u32>(bytes);
}

void MemoryHeap::printMemoryUsage() {
    std::ostringstream text;
    {
        MutexGuard guard(m_mutex);
        text << "Memory HEAP: "
             << " m_usedMemoryGross=" << m_usedMemoryGross << " "
             << " m_usedMemoryNet=" << m_usedMemoryNet << " ";
        for (const auto& module : m_modules)
            text << module.first << ":"
                 << " used=" << module.second->getCurrentlyUsedBytes() << " ";
    }
    LOG_JEX(LogInfo) << text.str() << std::endl;
}
