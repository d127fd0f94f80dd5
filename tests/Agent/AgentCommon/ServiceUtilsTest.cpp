// The start sequence against a scripted service manager and a clock that
// moves only while the sequence sleeps: its records, its sleeps (a tenth of
// the wait hint, 1 to 10 s), when it gives up, and its result. Missing or
// refusing services are run end to end against the real service manager.
#include "AgentCommon/ServiceUtils.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {
// An answer to a status query: the error of a failing call, or 0 and a state.
typedef std::pair<u32, ServiceStatus> Query;
Query state(u32 currentState, u32 checkPoint = 0, u32 waitHint = 0, u32 exitCode = 0) {
    return Query{0, ServiceStatus{currentState, exitCode, checkPoint, waitHint}};
}
const u32 kStopped = ServiceStopped, kStart = ServiceStartPending, kStop = ServiceStopPending,
          kRunning = ServiceRunning;

// Answers the queries in order (a query beyond them fails) and sleeps by
// moving its clock; every handle it hands out must be closed again, the
// service before its manager.
struct FakeService : IServiceControlManager, IServiceClock {
    FakeService(const std::vector<Query>& script, u32 firstTick) : queries(script), now(firstTick) {}
    u32 openManager() override { return 0; }
    u32 openService(const std::string& name) override { return name == "OrvelVssProvider" ? 0 : 1060; }
    u32 queryStatus(ServiceStatus& status) override {
        if (asked == queries.size())
            return 1;
        const auto& [error, answer] = queries[asked++];
        if (error == 0)
            status = answer;
        return error;
    }
    u32 startService() override { return ++starts, 0; }
    void closeService() override { closes += "service,"; }
    void closeManager() override { closes += "manager,"; }
    u32 tickCount() override { return now; }
    void sleep(u32 milliseconds) override {
        sleeps.push_back(milliseconds);
        now += milliseconds;
    }

    std::vector<Query> queries;
    u32 now;
    size_t asked = 0;
    int starts = 0;
    std::string closes;
    std::vector<u32> sleeps;
};

// "Level message" lines; every record must carry the sequence's label.
std::string loggedRecords() {
    std::string out;
    for (const std::string& text : LogCapture::instance().records()) {
        const LogRecord record = LogCapture::columnsOf(text);
        EXPECT_EQ("ServiceUtils startService", record.cls + " " + record.function) << text;
        out += record.level + " " + record.message + "\n";
    }
    return out;
}

std::string notStarted(u32 state, u32 exitCode, u32 checkPoint, u32 waitHint) {
    return "Error Service not started.\nError Current State: " + std::to_string(state) +
           "\nError Exit Code: " + std::to_string(exitCode) +
           "\nError Check Point: " + std::to_string(checkPoint) +
           "\nError Wait Hint: " + std::to_string(waitHint) + "\n";
}
std::string queryFailed(u32 error) {
    return "Error QueryServiceStatusEx failed with error code " + std::to_string(error) + "\n";
}
const std::string kPending = "Info Service start pending...\n",
                  kStarted = "Info Service started successfully.\n",
                  kAlreadyRunning = "Info Cannot start the service because it is already running\n";
} // namespace

TEST(ServiceStart, RecordsSleepsAndResult) {
    const Query wrapping = state(kStart, 1, 5000);
    const struct {
        const char* name;
        std::vector<Query> queries;
        u32 result;
        bool started; // StartService was called
        std::vector<u32> sleeps;
        std::string records;
        u32 firstTick = 5000;
    } cases[] = {
        // clang-format off
        {"already running", {state(kRunning)}, 0, false, {}, kAlreadyRunning},
        {"start pending is left alone", {state(kStart, 1, 30000)}, 0, false, {}, kAlreadyRunning},
        {"hint 200000 polls every 10000 ms", {state(kStopped), state(kStart, 1, 200000), state(kRunning)}, 0,
         true, {10000}, kPending + kStarted},
        {"the hint counts from the last progress", {state(kStopped), state(kStart, 1, 2000),
         state(kStart, 2, 2000), state(kStart, 3, 2000), state(kStart, 3, 2000), state(kStart, 3, 2000),
         state(kStart, 3, 2000)}, 0, true, {1000, 1000, 1000, 1000, 1000},
         kPending + notStarted(2, 0, 3, 2000)},
        {"stops again while starting", {state(kStopped), state(kStart, 1, 3000), state(kStopped, 0, 0, 1067)},
         0, true, {1000}, kPending + notStarted(1, 1067, 0, 0)},
        {"stop pending, then start", {state(kStop, 1, 20000), state(kStop, 2, 20000), state(kStopped),
         state(kStart, 1, 30000), state(kRunning)}, 0, true, {2000, 2000, 3000}, kPending + kStarted},
        {"stop pending without progress times out", {state(kStop, 1), state(kStop, 1)}, 0, false, {1000},
         "Error Timeout waiting for service to stop\n"},
        {"first query fails", {Query{6, {}}}, 6, false, {}, queryFailed(6)},
        {"query fails while stopping", {state(kStop, 1, 5000), Query{6, {}}}, 6, false, {1000},
         queryFailed(6)},
        {"query fails in the start-pending loop", {state(kStopped), state(kStart, 1, 30000), Query{5, {}}}, 5,
         true, {3000}, kPending + queryFailed(5) + notStarted(2, 0, 1, 30000)},
        {"tick count wraps during the wait", {state(kStopped), wrapping, wrapping, wrapping, wrapping,
         wrapping, wrapping, wrapping}, 0, true, std::vector<u32>(6, 1000),
         kPending + notStarted(2, 0, 1, 5000), 0xFFFFF000},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture::instance().clear();
        FakeService service(c.queries, c.firstTick);
        EXPECT_EQ(c.result, ServiceUtils::startService("OrvelVssProvider", service, service));
        EXPECT_EQ(c.records, loggedRecords());
        EXPECT_EQ(c.sleeps, service.sleeps);
        EXPECT_EQ(c.started ? 1 : 0, service.starts);
        EXPECT_EQ(c.queries.size(), service.asked) << "scripted queries left unasked";
        EXPECT_EQ("service,manager,", service.closes);
    }
}
