#include "AgentCommon/ServiceUtils.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One scripted answer to a status query: the error of a failing call, or a status.
struct Query {
    u32 error;
    ServiceStatus status;
};

Query state(u32 currentState, u32 checkPoint, u32 waitHint, u32 exitCode = 0) {
    ServiceStatus status;
    status.currentState = currentState;
    status.win32ExitCode = exitCode;
    status.checkPoint = checkPoint;
    status.waitHint = waitHint;
    return Query{0, status};
}
const Query kStopped = state(ServiceStopped, 0, 0);
const Query kRunning = state(ServiceRunning, 0, 0);
Query startPending(u32 checkPoint, u32 waitHint) {
    return state(ServiceStartPending, checkPoint, waitHint);
}
Query stopPending(u32 checkPoint, u32 waitHint) {
    return state(ServiceStopPending, checkPoint, waitHint);
}
Query failure(u32 error) {
    return Query{error, ServiceStatus()};
}

template <class T> std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
template <class T> std::vector<T> times(size_t count, const T& value) {
    return std::vector<T>(count, value);
}

// What the service manager answers.
struct Script {
    u32 openManagerError;
    u32 openServiceError;
    u32 startError;
    std::vector<Query> queries;
    u32 firstTick = 5000;
};

// Plays a script and keeps what was asked of it; every handle it hands out
// must be closed again, the service before its manager.
class FakeManager : public IServiceControlManager {
public:
    explicit FakeManager(const Script& script) : m_script(script) {}

    u32 openManager() override {
        m_managerOpen = m_script.openManagerError == 0;
        return m_script.openManagerError;
    }
    u32 openService(const std::string& serviceName) override {
        EXPECT_TRUE(m_managerOpen);
        openedName = serviceName;
        m_serviceOpen = m_script.openServiceError == 0;
        return m_script.openServiceError;
    }
    u32 queryStatus(ServiceStatus& status) override {
        EXPECT_TRUE(m_serviceOpen);
        if (queriesMade == m_script.queries.size()) {
            ADD_FAILURE() << "more status queries than scripted";
            return 1;
        }
        const Query& query = m_script.queries[queriesMade++];
        if (query.error == 0)
            status = query.status;
        return query.error;
    }
    u32 startService() override {
        EXPECT_TRUE(m_serviceOpen);
        ++starts;
        return m_script.startError;
    }
    void closeService() override {
        if (m_serviceOpen)
            closes.push_back("service");
        m_serviceOpen = false;
    }
    void closeManager() override {
        EXPECT_FALSE(m_serviceOpen) << "manager closed before its service";
        if (m_managerOpen)
            closes.push_back("manager");
        m_managerOpen = false;
    }

    size_t queriesMade = 0;
    int starts = 0;
    std::vector<std::string> closes;
    std::string openedName;

private:
    Script m_script;
    bool m_managerOpen = false;
    bool m_serviceOpen = false;
};

// Time passes only while the sequence sleeps.
class FakeClock : public IServiceClock {
public:
    explicit FakeClock(u32 now) : m_now(now) {}
    u32 tickCount() override { return m_now; }
    void sleep(u32 milliseconds) override {
        sleeps.push_back(milliseconds);
        m_now += milliseconds;
    }
    std::vector<u32> sleeps;

private:
    u32 m_now;
};

// "Level message" of each record; every record must carry the sequence's label.
std::vector<std::string> loggedRecords() {
    const std::string label = " ServiceUtils,startService";
    std::vector<std::string> out;
    for (std::string summary : LogCapture::instance().summaries()) {
        size_t at = summary.find(label);
        EXPECT_NE(std::string::npos, at) << summary;
        out.push_back(at == std::string::npos ? summary : summary.erase(at, label.size()));
    }
    return out;
}

std::vector<std::string> notStarted(u32 state, u32 exitCode, u32 checkPoint, u32 waitHint) {
    return {"Error Service not started.", "Error Current State: " + std::to_string(state),
            "Error Exit Code: " + std::to_string(exitCode),
            "Error Check Point: " + std::to_string(checkPoint),
            "Error Wait Hint: " + std::to_string(waitHint)};
}

typedef std::vector<std::string> Records;
const Records kPending = {"Info Service start pending..."};
const Records kStarted = {"Info Service started successfully."};
const Records kAlreadyRunning = {"Info Cannot start the service because it is already running"};
Records queryFailed(u32 error) {
    return {"Error QueryServiceStatusEx failed with error code " + std::to_string(error)};
}

struct StartCase {
    const char* name;
    Script script;
    u32 result;
    bool started; // StartService was called
    std::vector<u32> sleeps;
    Records records;
};

} // namespace

TEST(ServiceStart, RecordsSleepsAndResult) {
    const std::vector<Query> stoppedThen = {kStopped};
    // clang-format off
    const StartCase cases[] = {
        {"first query fails", {0, 0, 0, {failure(6)}}, 6, false, {}, queryFailed(6)},
        {"already running", {0, 0, 0, {kRunning}}, 0, false, {}, kAlreadyRunning},
        {"start pending is left alone", {0, 0, 0, {startPending(1, 30000)}}, 0, false, {}, kAlreadyRunning},
        {"hint 30000 polls every 3000 ms",
         {0, 0, 0, {kStopped, startPending(1, 30000), startPending(2, 30000), kRunning}}, 0, true,
         {3000, 3000}, kPending + kStarted},
        {"hint 200000 polls every 10000 ms",
         {0, 0, 0, {kStopped, startPending(1, 200000), startPending(2, 200000), kRunning}}, 0, true,
         {10000, 10000}, kPending + kStarted},
        {"hint 0 gives up after one poll without progress",
         {0, 0, 0, {kStopped, startPending(0, 0), startPending(0, 0)}}, 0, true, {1000},
         kPending + notStarted(2, 0, 0, 0)},
        {"no progress: gives up once more than the hint has passed",
         {0, 0, 0, stoppedThen + times(12, startPending(1, 30000))}, 0, true, times<u32>(11, 3000),
         kPending + notStarted(2, 0, 1, 30000)},
        {"check-point progress keeps it waiting past the hint",
         {0, 0, 0, {kStopped, startPending(1, 2000), startPending(2, 2000), startPending(3, 2000),
                    startPending(4, 2000), startPending(5, 2000), startPending(6, 2000), startPending(7, 2000),
                    kRunning}},
         0, true, times<u32>(7, 1000), kPending + kStarted},
        {"progress that stops: the hint counts from the last progress",
         {0, 0, 0, stoppedThen + std::vector<Query>{startPending(1, 2000), startPending(2, 2000)} +
                       times(4, startPending(3, 2000))},
         0, true, times<u32>(5, 1000), kPending + notStarted(2, 0, 3, 2000)},
        {"stops again while starting",
         {0, 0, 0, {kStopped, startPending(1, 3000), state(ServiceStopped, 0, 0, 1067)}}, 0, true, {1000},
         kPending + notStarted(1, 1067, 0, 0)},
        {"stop pending, then start",
         {0, 0, 0, {stopPending(1, 20000), stopPending(2, 20000), kStopped, startPending(1, 30000), kRunning}},
         0, true, {2000, 2000, 3000}, kPending + kStarted},
        {"stop pending without progress times out", {0, 0, 0, {stopPending(1, 0), stopPending(1, 0)}}, 0,
         false, {1000}, {"Error Timeout waiting for service to stop"}},
        {"query fails while stopping", {0, 0, 0, {stopPending(1, 5000), failure(6)}}, 6, false, {1000},
         queryFailed(6)},
        {"query fails inside the start-pending loop", {0, 0, 0, {kStopped, startPending(1, 30000), failure(5)}},
         5, true, {3000}, kPending + queryFailed(5) + notStarted(2, 0, 1, 30000)},
        {"tick count wraps during the wait", {0, 0, 0, stoppedThen + times(7, startPending(1, 5000)), 0xFFFFF000},
         0, true, times<u32>(6, 1000), kPending + notStarted(2, 0, 1, 5000)},
    };
    // clang-format on

    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture::instance().clear();
        FakeManager manager(c.script);
        FakeClock clock(c.script.firstTick);

        EXPECT_EQ(c.result, ServiceUtils::startService("OrvelVssProvider", manager, clock));

        EXPECT_EQ(c.records, loggedRecords());
        EXPECT_EQ(c.sleeps, clock.sleeps);
        EXPECT_EQ(c.started ? 1 : 0, manager.starts);
        EXPECT_EQ(c.script.queries.size(), manager.queriesMade) << "scripted queries left unasked";
        bool managerOpened = c.script.openManagerError == 0;
        bool serviceOpened = managerOpened && c.script.openServiceError == 0;
        EXPECT_EQ(managerOpened ? "OrvelVssProvider" : "", manager.openedName);
        std::vector<std::string> opened;
        if (serviceOpened)
            opened.push_back("service");
        if (managerOpened)
            opened.push_back("manager");
        EXPECT_EQ(opened, manager.closes) << "every handle closed once, the service first";
    }
}
