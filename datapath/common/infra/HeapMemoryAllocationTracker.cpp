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

bool HeapMemoryAllocationTracker::countLocked(u32 length) {
    if (length == 0)
        return false;
    m_usedBytes += length;
    return true;
}

s8* HeapMemoryAllocationTracker::allocate(u32 length, bool& justPaused) {
    justPaused = false;
    {
        MutexGuard guard(m_mutex);
        if (!m_disableTracking) {
            if (m_paused)
                return nullptr;
            if (static_cast<u64>(m_usedBytes) + length > m_maxBytes) {
                m_paused = true;
                justPaused = true;
                return nullptr;
            }
        }
        if (!countLocked(length))
            return nullptr;
    }
    return allocateRecordBytes(length);
}

s8* HeapMemoryAllocationTracker::allocateUnlimited(u32 length) {
    {
        MutexGuard guard(m_mutex);
        if (!countLocked(length))
            return nullptr;
    }
    return allocateRecordBytes(length);
}

void HeapMemoryAllocationTracker::release(s8* buffer, u32 length) {
    freeBuffer(buffer);
    releaseBytes(length);
}

void HeapMemoryAllocationTracker::freeBuffer(s8* buffer) {
    freeRecordBytes(buffer);
}

void HeapMemoryAllocationTracker::releaseBytes(u64 length) {
    u32 usedBytesBeforeFree;
    {
        MutexGuard guard(m_mutex);
        usedBytesBeforeFree = m_usedBytes;
        if (usedBytesBeforeFree >= length) {
            m_usedBytes -= static_cast<u32>(length);
            if (m_paused && m_usedBytes <= m_resumeThresholdBytes)
                m_paused = false;
            return;
        }
    }
    // Reported outside the mutex: the record goes through the logger, and this
    // tracker's own logger may be one of its clients.
    reportOverRelease(usedBytesBeforeFree, length);
}

void HeapMemoryAllocationTracker::reportOverRelease(u64 usedBytes, u64 length) {
    // One record for both ways of releasing, as a single release has always
    // written it. Every count fits 32 bits: a larger length is an over-release.
    u32 usedBytesBeforeFree = static_cast<u32>(usedBytes);
    u32 lengthBytes = length > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<u32>(length);
    ORV_CHECK_LABELED("HeapMemoryAllocationTracker::release", usedBytesBeforeFree >= (u32)lengthBytes,
                      "<" << m_name << "> "
                          << "trying to free more than allocated"
                          << " usedBytesBeforeFree=" << usedBytesBeforeFree << " "
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
