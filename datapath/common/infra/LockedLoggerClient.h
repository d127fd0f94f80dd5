#pragma once
// The base of a log client that is simple enough to run one record at a
// time: write takes the client's lock and calls writeLocked, so the derived
// client needs no locking of its own. Readers of the client's state (a test
// looking at what was captured) take the same lock through locked().
#include "Log.h"

#include <mutex>

class LockedLoggerClient : public LoggerClient {
public:
    void write(const char* record, size_t length) final {
        std::lock_guard<std::mutex> lock(m_mutex);
        writeLocked(record, length);
    }

protected:
    // Called under the client's lock; the same rules as write.
    virtual void writeLocked(const char* record, size_t length) = 0;

    template <class Action> auto locked(Action action) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return action();
    }

private:
    mutable std::mutex m_mutex;
};
