#pragma once
// What the infrastructure cases share: the framework, the log capture, waits
// that give a loaded sanitizer build time, and what death tests look for.
#include "LockedLoggerClient.h"
#include "Os.h"
#include "support/LogCapture.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
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

// Gtest death tests look on standard error for the text a process wrote
// before it ended. Call this inside the death test's statement, so that only
// the child is changed (the Logger takes at most four clients per process).

inline void echoLogToStderr() {
    // Locked so that records from several threads reach stderr whole, one after the other.
    struct StderrLogClient : LockedLoggerClient {
        void writeLocked(const char* record, size_t length) override {
            std::fwrite(record, 1, length, stderr);
            std::fflush(stderr); // the process ends without flushing anything
        }
    };
    [[maybe_unused]] static bool registered =
        (Logger::instance()->registerClient(new StderrLogClient(), kAllLevelsMask), true);
}

// Matches a death test's standard error: each piece, an ECMAScript regular expression, must be found after
// the end of the previous one. Unlike gtest's own regular expressions it reads the same on every platform and
// spans the records of a whole report.
struct InOrderMatcher : ::testing::MatcherInterface<const std::string&> {
    explicit InOrderMatcher(std::vector<std::string> pieces) : pieces(std::move(pieces)) {}

    bool MatchAndExplain(const std::string& text, ::testing::MatchResultListener* listener) const override {
        std::string::const_iterator from = text.begin();
        for (const std::string& piece : pieces) {
            std::smatch match;
            if (!std::regex_search(from, text.end(), match, std::regex(piece))) {
                *listener << "no \"" << piece << "\" after offset " << (from - text.begin());
                return false;
            }
            from = match[0].second;
        }
        return true;
    }
    void DescribeTo(std::ostream* os) const override {
        *os << "has, in order: " << ::testing::PrintToString(pieces);
    }

    std::vector<std::string> pieces;
};

// The statement runs in a child that echoes its log; it must end with the
// fail-fast status after writing the pieces, in order.
#define EXPECT_FAILFAST(statement, ...)                                                                      \
    EXPECT_EXIT((echoLogToStderr(), statement), ::testing::ExitedWithCode(Os::kFailFastExitCode),            \
                ::testing::MakeMatcher(new InOrderMatcher({__VA_ARGS__})))
