#pragma once
// The byte budget of a file logger's queued records. Producers take record
// buffers from it; the writer gives them back. When a request would overrun
// the budget the tracker pauses and refuses every request until releases
// bring the bytes in use down to the resume threshold, so that a logger that
// cannot keep up drops records instead of switching on and off per record.
#include "Mutex.h"
#include "Types.h"

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
    s8* allocateCountedLocked(u32 length);

    u32 m_usedBytes;
    Mutex m_mutex;
    bool m_paused;
    u32 m_maxBytes;
    u32 m_resumeThresholdBytes;
    const bool& m_disableTracking;
    std::string m_name;
};
