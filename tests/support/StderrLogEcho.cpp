#include "StderrLogEcho.h"

#include "LockedLoggerClient.h"

#include <cstdio>
#ifdef _WIN32
#include <io.h>
#define ORV_DUP2 _dup2
#define ORV_FILENO _fileno
#else
#include <unistd.h>
#define ORV_DUP2 dup2
#define ORV_FILENO fileno
#endif

namespace {
// Locked so that records from several threads reach stderr whole, one after
// the other.
class StderrLogClient : public LockedLoggerClient {
    void writeLocked(const char* record, size_t length) override {
        std::fwrite(record, 1, length, stderr);
        std::fflush(stderr); // the process ends without flushing anything
    }
};
} // namespace

void echoLogToStderr() {
    static bool registered =
        (Logger::instance()->registerClient(new StderrLogClient(), kAllLevelsMask), true);
    (void)registered;
}

void stdoutToStderr() {
    std::fflush(stdout);
    ORV_DUP2(ORV_FILENO(stderr), ORV_FILENO(stdout));
}
