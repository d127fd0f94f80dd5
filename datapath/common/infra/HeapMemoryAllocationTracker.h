#pragma once
// The byte budget of a file logger's queued records. Producers take record
// buffers from it; the writer gives them back. When a request would overrun
// the budget the tracker pauses and refuses every request until releases
// bring the bytes in use down to the resume threshold, so that a logger that
// cannot keep up drops records instead of switching on and off per record.
#include "Types.h"

#include <atomic>
#include <string>

class HeapMemoryAllocationTracker {
public:
    // `disableTracking` is read on every request (a live tweak): when it is
    // true, buffers are handed out and counted without any limit. `name`
    // labels the tracker in the release check.
    HeapMemoryAllocationTracker(u32 maxBytes, u32 resumeThresholdBytes, const bool& disableTracking,
                                const std::string& name);

    // A buffer of `length` bytes within the budget, or nullptr: when the
    // tracker is paused, when `length` is 0, or when the request overruns the
    // budget; in that last case the tracker pauses and `justPaused` is set.
    s8* allocate(u32 length, bool& justPaused);
    // A counted buffer that ignores the budget and the pause (the logger's own
    // pause notice). nullptr for a length of 0.
    s8* allocateUnlimited(u32 length);
    // Frees a buffer of either kind and resumes when the bytes in use fall to
    // the threshold. Releasing more than is in use ends the process.
    void release(s8* buffer, u32 length);

    u32 usedBytes();
    bool paused();

private:
    // The bytes in use and the pause flag live in one word, changed by
    // compare-and-swap: every record takes and gives back a buffer, and a
    // mutex here had producers and the writer queue up behind each other.
    static const u64 kPausedBit = 1ull << 63;
    s8* allocateCounted(u32 length);

    std::atomic<u64> m_state; // bytes in use | kPausedBit
    u32 m_maxBytes;
    u32 m_resumeThresholdBytes;
    const bool& m_disableTracking;
    std::string m_name;
};
