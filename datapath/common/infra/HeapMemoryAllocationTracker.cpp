#include "HeapMemoryAllocationTracker.h"

#include "Log.h"
#include "TrackedNew.h"

namespace {
// Record buffers are tracked arrays, so a record written past its end is
// caught when the writer gives the buffer back.
s8* allocateRecordBytes(u32 length) {
    return ORV_NEW_ARRAY(s8, length);
}
void freeRecordBytes(s8* buffer) {
    trackedDeleteArray(buffer);
}
} // namespace

HeapMemoryAllocationTracker::HeapMemoryAllocationTracker(u32 maxBytes, u32 resumeThresholdBytes,
                                                         const bool& disableTracking, const std::string& name)
    : m_usedBytes(0), m_paused(false), m_maxBytes(maxBytes), m_resumeThresholdBytes(resumeThresholdBytes),
      m_disableTracking(disableTracking), m_name(name) {
    // Created before any record can arrive: MemShield's own start-up logs,
    // and a record buffer must not be the allocation that creates it.
    MemShield::instance();
}

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
