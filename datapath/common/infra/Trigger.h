#pragma once
// An auto-reset event: set() releases exactly one wait() (now or later);
// several set() calls before a wait() count as one. Not copyable: it owns the
// underlying operating-system object.
#include "Types.h"

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

class Trigger {
public:
    Trigger();
    ~Trigger();
    Trigger(const Trigger&) = delete;
    Trigger& operator=(const Trigger&) = delete;

    void set();
    // Blocks without a time limit until the trigger is set, then resets it.
    void wait();
    // As wait(), for at most `ms` milliseconds; false when the time ran out.
    bool waitFor(u32 ms);

private:
#if defined(_WIN32)
    void* m_handle; // an unnamed auto-reset event
#else
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_signalled;
#endif
};
