#include "HeapMemoryAllocationTracker.h"

#include "Log.h"

namespace {
// Where record buffers come from and go back to. Kept in this one pair so
// that the tracking allocator can take over here without touching callers.
s8* allocateRecordBytes(u32 length) {
    return new s8[length];
}
void freeRecordBytes(s8* buffer) {
    delete[] buffer;
}
} // namespace

HeapMemoryAllocationTracker::HeapMemoryAllocationTracker(u32 maxBytes, u32 resumeThresholdBytes,
                                                         const bool& disableTracking, const std::string& name)
    : m_usedBytes(0), m_paused(false), m_maxBytes(maxBytes), m_resumeThresholdBytes(resumeThresholdBytes),
      m_disableTracking(disableTracking), m_name(name) {}

s8* HeapMemoryAllocationTracker::allocateCountedLocked(u32 length) {
    if (length == 0)
        return nullptr;
    s8* buffer = allocateRecordBytes(length);
    m_usedBytes += length;
    return buffer;
}

s8* HeapMemoryAllocationTracker::allocate(u32 length, bool& justPaused) {
    justPaused = false;
    MutexGuard guard(m_mutex);
    if (m_disableTracking)
        return allocateCountedLocked(length);
    if (m_paused)
        return nullptr;
    if (static_cast<u64>(m_usedBytes) + length > m_maxBytes) {
        m_paused = true;
        justPaused = true;
        return nullptr;
    }
    return allocateCountedLocked(length);
}

s8* HeapMemoryAllocationTracker::allocateUnlimited(u32 length) {
    MutexGuard guard(m_mutex);
    return allocateCountedLocked(length);
}

void HeapMemoryAllocationTracker::release(s8* buffer, u32 length) {
    u32 usedBytesBeforeFree;
    {
        MutexGuard guard(m_mutex);
        usedBytesBeforeFree = m_usedBytes;
        freeRecordBytes(buffer);
        if (usedBytesBeforeFree >= length) {
            m_usedBytes -= length;
            if (m_paused && m_usedBytes <= m_resumeThresholdBytes)
                m_paused = false;
            return;
        }
    }
    // Reported outside the mutex: the record goes through the logger, and this
    // tracker's own logger may be one of its clients.
    u32 lengthBytes = length;
    ORV_CHECK(usedBytesBeforeFree >= (u32)lengthBytes, "<" << m_name << "> "
                                                           << "trying to free more than allocated"
                                                           << " usedBytesBeforeFree=" << usedBytesBeforeFree
                                                           << " "
                                                           << " lengthBytes=" << lengthBytes << " ");
}

u32 HeapMemoryAllocationTracker::usedBytes() {
    MutexGuard guard(m_mutex);
    return m_usedBytes;
}

bool HeapMemoryAllocationTracker::paused() {
    MutexGuard guard(m_mutex);
    return m_paused;
}
