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
    : m_state(0), m_maxBytes(maxBytes), m_resumeThresholdBytes(resumeThresholdBytes),
      m_disableTracking(disableTracking), m_name(name) {
    // Created before any record can arrive: MemShield's own start-up logs,
    // and a record buffer must not be the allocation that creates it.
    MemShield::instance();
}

s8* HeapMemoryAllocationTracker::allocateCounted(u32 length) {
    if (length == 0)
        return nullptr;
    m_state.fetch_add(length);
    return allocateRecordBytes(length);
}

s8* HeapMemoryAllocationTracker::allocate(u32 length, bool& justPaused) {
    justPaused = false;
    if (m_disableTracking)
        return allocateCounted(length);
    if (length == 0)
        return nullptr;
    u64 state = m_state.load();
    for (;;) {
        if ((state & kPausedBit) != 0)
            return nullptr;
        if (state + length > m_maxBytes) {
            if (!m_state.compare_exchange_weak(state, state | kPausedBit))
                continue;
            justPaused = true;
            return nullptr;
        }
        if (m_state.compare_exchange_weak(state, state + length))
            return allocateRecordBytes(length);
    }
}

s8* HeapMemoryAllocationTracker::allocateUnlimited(u32 length) {
    return allocateCounted(length);
}

void HeapMemoryAllocationTracker::release(s8* buffer, u32 length) {
    freeRecordBytes(buffer);
    u64 state = m_state.load();
    u64 used = state & ~kPausedBit;
    while (used >= length) {
        u64 next = state - length;
        if ((next & ~kPausedBit) <= m_resumeThresholdBytes)
            next &= ~kPausedBit;
        if (m_state.compare_exchange_weak(state, next))
            return;
        used = state & ~kPausedBit;
    }
    // Reported through the logger, whose own file client may be this
    // tracker's owner: nothing is held here.
    u32 usedBytesBeforeFree = static_cast<u32>(used);
    u32 lengthBytes = length;
    ORV_CHECK(usedBytesBeforeFree >= (u32)lengthBytes, "<" << m_name << "> "
                                                           << "trying to free more than allocated"
                                                           << " usedBytesBeforeFree=" << usedBytesBeforeFree
                                                           << " "
                                                           << " lengthBytes=" << lengthBytes << " ");
}

u32 HeapMemoryAllocationTracker::usedBytes() {
    return static_cast<u32>(m_state.load() & ~kPausedBit);
}

bool HeapMemoryAllocationTracker::paused() {
    return (m_state.load() & kPausedBit) != 0;
}
