#pragma once
// A log client that turns a process-ending assertion into a crash that
// libFuzzer keeps. An assertion ends the process at once (no signal, no exit
// handler), so without this an input that reaches one would stop the run
// with exit code 3 and leave no trace of itself. The targets feed only input
// that the code under test accepts, so any assertion is a finding.
#include "LockedLoggerClient.h"

#include <cstdio>
#include <cstdlib>

class AssertionWatch : public LockedLoggerClient {
public:
    // Watches for the check form (level Assert) and the inline form (an
    // Error record whose message begins "Assertion (").
    static void install() {
        Logger::instance()->registerClient(new AssertionWatch(), (1u << LogAssert) | (1u << LogError));
    }

private:
    // Locked so that two threads reaching assertions at once report one whole.
    void writeLocked(const char* data, size_t length) override {
        const std::string record(data, length);
        // time,level,thread,logger,class,function,message
        size_t level = record.find(',') + 1;
        size_t message = level;
        for (int comma = 1; comma < 6; ++comma)
            message = record.find(',', message) + 1;
        if (record.compare(level, 7, "Assert,") != 0 && record.compare(message, 11, "Assertion (") != 0)
            return;
        std::fprintf(stderr, "the input reached an assertion: %s", record.c_str());
        std::abort();
    }
};
