#pragma once
// GenFileLogger with its test seams opened up. Direct mode (the default)
// writes in the caller's thread and needs no writer, so such a logger may be
// destroyed; a queued one runs a writer and is kept for the process's life.
#include "GenFileLogger.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class TestFileLogger : public GenFileLogger {
public:
    explicit TestFileLogger(const std::string& path, u32 memoryLimitMb = 1)
        : GenFileLogger(path, memoryLimitMb, false) {}

    static TestFileLogger* startQueued(const std::string& path, u32 memoryLimitMb = 1, u32 flushLimitMs = 0) {
        static std::vector<TestFileLogger*> s_kept;
        s_kept.push_back(new TestFileLogger(path, memoryLimitMb));
        s_kept.back()->setFlushEveryLine(false);
        s_kept.back()->setFlushWaitLimitMs(flushLimitMs);
        s_kept.back()->startWriter();
        return s_kept.back();
    }

    void writeText(const std::string& text) { write(text.data(), static_cast<u32>(text.size())); }

    using GenFileLogger::fileMutex;
    using GenFileLogger::rotateNow;
    using GenFileLogger::setCompressOnRotate;
    using GenFileLogger::setMaxFiles;
    using GenFileLogger::setRotateSizeBytes;
    using GenFileLogger::tracker;
};
