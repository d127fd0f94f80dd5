#pragma once
// Shared by the file logger suites: a private temporary folder per test, file
// helpers, and GenFileLogger with its test seams opened up.
#include "GenFileLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Removed with its content when the test ends (best effort: a folder that
// still holds a file open by a running writer may stay behind on Windows).
class TempDir {
public:
    TempDir() {
        static std::atomic<unsigned> s_counter{0};
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::ostringstream name;
        name << "orvel-filelog-" << info->test_suite_name() << "-" << info->name() << "-" << s_counter++;
        m_path = fs::temp_directory_path() / name.str();
        std::error_code ec;
        fs::remove_all(m_path, ec);
        fs::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    // The folder, or a path inside it, in the platform's spelling.
    std::string path(const std::string& leaf = std::string()) const {
        return leaf.empty() ? m_path.string() : (m_path / leaf).string();
    }
    std::set<std::string> files() const {
        std::set<std::string> names;
        for (const fs::directory_entry& e : fs::directory_iterator(m_path))
            names.insert(e.path().filename().string());
        return names;
    }

private:
    fs::path m_path;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// A GenFileLogger whose seams tests may use. Direct mode (the default) writes
// in the caller's thread and needs no writer, so such a logger may be
// destroyed; a queued one runs a writer and must be kept for the process's life.
class TestFileLogger : public GenFileLogger {
public:
    explicit TestFileLogger(const std::string& path, u32 memoryLimitMb = 1)
        : GenFileLogger(path, memoryLimitMb, false) {}

    // A queued-mode logger with its writer running; never destroyed.
    static TestFileLogger* startQueued(const std::string& path, u32 memoryLimitMb = 1, u32 flushLimitMs = 0) {
        static std::vector<TestFileLogger*> s_kept;
        TestFileLogger* logger = new TestFileLogger(path, memoryLimitMb);
        s_kept.push_back(logger);
        logger->setFlushEveryLine(false);
        logger->setFlushWaitLimitMs(flushLimitMs);
        logger->startWriter();
        return logger;
    }

    void writeText(const std::string& text) { write(text.data(), static_cast<u32>(text.size())); }

    using GenFileLogger::fileMutex;
    using GenFileLogger::rotateNow;
    using GenFileLogger::setCompressOnRotate;
    using GenFileLogger::setFlushEveryLine;
    using GenFileLogger::setMaxFiles;
    using GenFileLogger::setRotateSizeBytes;
    using GenFileLogger::tracker;
};
