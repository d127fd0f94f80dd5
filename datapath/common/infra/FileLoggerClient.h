#pragma once
// The logging core's file sink: a GenFileLogger configured from tweaks that
// starts every file it opens with two empty lines, the "Log Start" banner and
// the column header.
#include "GenFileLogger.h"
#include "Log.h"

#include <string>

class FileLoggerClient : public LoggerClient, public GenFileLogger {
public:
    // `path` is the base name of the file (".txt" is appended), `memoryLimitMb`
    // the queue budget in MiB, `title` the text of the start banner. `reserved`
    // is accepted for callers that pass it and is not used.
    FileLoggerClient(const std::string& path, u32 memoryLimitMb, u32 reserved, const std::string& title);

    void write(const char* record, size_t length) override;
    // Waits until the records written so far are in the file, within the
    // flush wait limit.
    void flush() override;
    void deferWrites(bool on) override { deferWakeups(on); }
};
