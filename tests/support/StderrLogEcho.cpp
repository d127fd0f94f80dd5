#include "StderrLogEcho.h"

#include "Log.h"

#include <cstdio>

namespace {
class StderrLogClient : public LoggerClient {
public:
    void write(const std::string& record) override {
        std::fwrite(record.data(), 1, record.size(), stderr);
        std::fflush(stderr);
    }
};
} // namespace

void echoLogToStderr() {
    static bool registered = [] {
        Logger::instance()->registerClient(new StderrLogClient(), kAllLevelsMask);
        return true;
    }();
    (void)registered;
}
