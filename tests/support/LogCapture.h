#pragma once
// A LoggerClient for tests: registered once per process for all levels, it
// keeps every record so that a test can check what the code logged.
#include "LockedLoggerClient.h"

#include <string>
#include <vector>

// One record's columns: time, level, thread, identity, class and function,
// then the message, commas and all, without its line end. A line with fewer
// columns (the rest of a message that held a line break) has an empty level.
struct LogRecord {
    std::string level, cls, function, message;
};

class LogCapture : public LockedLoggerClient {
public:
    // The process's capture, registered with the Logger on first use.
    static LogCapture& instance();

    void clear() {
        locked([this] { m_records.clear(); });
    }
    std::vector<std::string> records() {
        return locked([this] { return m_records; });
    }
    // Messages (the seventh field onward, without the line end) of the records kept so far.
    std::vector<std::string> messages();
    bool hasMessage(const std::string& message);
    bool hasMessageContaining(const std::string& fragment);

    static LogRecord columnsOf(const std::string& record);

private:
    LogCapture() = default;
    void writeLocked(const char* record, size_t length) override { m_records.emplace_back(record, length); }

    std::vector<std::string> m_records;
};
