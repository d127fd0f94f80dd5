#pragma once
// What the infrastructure cases share: the framework, the log capture, the
// death-test matchers, and waits that give a loaded sanitizer build time.
#include "support/InOrder.h"
#include "support/LogCapture.h"
#include "support/StderrLogEcho.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Polls until `done` holds or ten seconds pass; the answer is `done` then.
inline bool waitUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

inline void onThreads(int n, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t)
        threads.emplace_back(body, t);
    for (std::thread& thread : threads)
        thread.join();
}

inline bool logged(const std::string& fragment) {
    return LogCapture::instance().hasMessageContaining(fragment);
}

inline size_t recordsMatching(const std::string& pattern) {
    size_t n = 0;
    for (const std::string& record : LogCapture::instance().records())
        n += std::regex_search(record, std::regex(pattern)) ? 1 : 0;
    return n;
}

inline std::vector<std::string> messagesFrom(const std::string& cls, const std::string& function) {
    const std::string columns = "," + cls + "," + function + ",";
    std::vector<std::string> out;
    for (const std::string& record : LogCapture::instance().records())
        if (record.find(columns) != std::string::npos)
            out.push_back(LogCapture::messageOf(record));
    return out;
}
