// The snapshot flow on one scripted party standing in for platform, listener,
// requester and status channel: per path, its calls and records in one
// sequence, its result and its run record. The requester's thread runs at
// once or only when joined, so the sequence is the same on every run.
#include "VssRequester/SnapshotFlow.h"

#include "AgentCommon/IInterProcessCommunicationHandler.h"
#include "AgentCommon/RunRecord.h"
#include "Tweaks.h"
#include "VssRequester/ISnapshotFlowListener.h"
#include "VssRequester/IVssRequester.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {
typedef std::vector<std::string> Steps;
typedef std::optional<i64> Maybe;
Steps operator+(Steps a, const Steps& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

typedef ISnapshotFlowPlatform::Handle Handle;
// Each handle the platform gives points at its own name.
char kMutex[] = "mutex", kQuiesced[] = "quiesced", kThaw[] = "thaw", kWorker[] = "worker";
const auto nameOf = [](Handle h) { return std::string(h ? static_cast<const char*>(h) : "null"); };
std::string textOf(Handle handle) {
    std::ostringstream text;
    text << handle;
    return text.str();
}

const i32 kVssError = static_cast<i32>(0x8004230F); // printed unsigned: 2147754767
const i32 kThrows = -1;                             // DoSnapshot throws instead of returning
enum Worker { EndsAtStart, EndsAtJoin, NotCreated };

// A path: what the parties do, and what the flow must do with it.
struct Row {
    const char* name;
    i32 prepare, first, second; // the listener's prepare; DoSnapshot's results
    u32 provider;               // the quiesced wait's result when nobody set the event
    Worker worker;
    bool thawSetFails;
    i32 result;
    Steps steps;
};

// The flow's four parties in one; each call, and the records written since
// the one before it, go into one sequence.
class Scripted : public ISnapshotFlowPlatform,
                 public IVssRequester,
                 public ISnapshotFlowListener,
                 public IInterProcessCommunicationHandler {
public:
    Scripted(const Row& row, const ArgsRequester* args) : m_row(row), m_args(args) {}
    Steps steps() { return add(""), m_steps; }

    Handle createMutex(const char* name) override { return add(std::string("createMutex ") + name), kMutex; }
    Handle createEvent(const char* name) override {
        add(std::string("createEvent ") + name);
        return std::string(name).find("Quiesced") != std::string::npos ? kQuiesced : kThaw;
    }
    void resetEvent(Handle event) override { add("reset " + nameOf(event)); }
    bool setEvent(Handle event) override {
        add("set " + nameOf(event));
        return event == kThaw ? !m_row.thawSetFails : (m_quiescedSet = true);
    }
    void releaseMutex(Handle mutex) override { add("release " + nameOf(mutex)); }
    void closeHandle(Handle handle) override { add("close " + nameOf(handle)); }
    // Only a failing thread creation or thaw set asks.
    u32 lastError() override { return m_row.worker == NotCreated ? 8 : 6; }
    Handle createThread(ThreadRoutine routine, void* context) override {
        add("createThread");
        if (m_row.worker == NotCreated)
            return nullptr;
        m_worker = [this, routine, context] { m_exitCode = static_cast<u32>(routine(context)); };
        if (m_row.worker == EndsAtStart)
            runWorker();
        return kWorker;
    }
    u32 wait(Handle handle, u32 ms) override {
        add("wait " + nameOf(handle) + " " + (ms == kInfinite ? "INFINITE" : std::to_string(ms)));
        if (handle == kWorker && m_worker)
            runWorker();
        return handle != kQuiesced || std::exchange(m_quiescedSet, false) ? kWaitObject0 : m_row.provider;
    }
    bool threadExitCode(Handle thread, u32& exitCode) override {
        EXPECT_EQ(kWorker, thread);
        return exitCode = m_exitCode, true;
    }
    u32 osMajorVersion() override { return 10; }
    i64 ticksNow() override { return static_cast<i64>(++m_ticks); }
    void startErrorRecoveryGuard(u32 os) override { add("start errorRecoveryGuard " + std::to_string(os)); }
    void startLastAliveStampGuard() override { add("start lastAliveStampGuard"); }
    void endLastAliveStampGuard() override { add("end lastAliveStampGuard"); }
    void endErrorRecoveryGuard() override { add("end errorRecoveryGuard"); }

    i32 DoSnapshot(ArgsRequester* args) override {
        add("DoSnapshot");
        EXPECT_EQ(m_args, args);
        if (++m_calls == 1 && m_row.first == kThrows)
            throw std::runtime_error("no writers");
        return m_calls == 1 ? m_row.first : m_row.second;
    }

    i32 notifySnapshotPrepare() override { return add("prepare"), m_row.prepare; }
    void notifySnapshotQuiesceSuccess() override { add("quiesce"); }
    void notifySnapshotThawSuccess() override { add("thaw"); }
    void notifySnapshotCompleteSuccess() override { add("completeSuccess"); }
    void notifySnapshotCompleteFailure(i32 e) override { add("completeFailure " + std::to_string(e)); }

    i32 read() override { return 0; }
    void write(i32 status) override { add("status " + std::to_string(status)); }

private:
    // Records as "Level method: message"; every one carries the flow's class.
    void add(const std::string& step) {
        for (const Steps records = LogCapture::instance().records(); m_recordsTaken < records.size();) {
            const LogRecord record = LogCapture::columnsOf(records[m_recordsTaken++]);
            EXPECT_EQ("SnapshotFlow", record.cls) << record.message;
            m_steps.push_back(record.level + " " + record.function + ": " + record.message);
        }
        if (!step.empty())
            m_steps.push_back(step);
    }
    void runWorker() {
        std::thread(m_worker).join();
        m_worker = nullptr;
    }

    const Row& m_row;
    const ArgsRequester* m_args;
    Steps m_steps;
    std::function<void()> m_worker;
    u32 m_exitCode = 0;
    bool m_quiescedSet = false;
    size_t m_recordsTaken = 0, m_calls = 0, m_ticks = 0;
};

// clang-format off
const auto info = [](const std::string& message) { return "Info execute: " + message; };
const auto error = [](const std::string& message) { return "Error execute: " + message; };
const auto setEventFailure = [](const std::string& method) {
    return "Error " + method + ": SetEventFailure setEventRes=0  lastError=6 "; };
const Steps kPrologue = {info("Creating mutex"), "createMutex Global\\OrvelVssMutex",
    info("Waiting for mutex"), "wait mutex INFINITE", info("Creating events"),
    "createEvent Global\\OrvelVssQuiescedEvent", "createEvent Global\\OrvelVssThawEvent", "reset quiesced",
    "reset thaw", info("Events: " + textOf(kQuiesced) + ", " + textOf(kThaw)), "prepare"};
const Steps kCloseEvents = {"close thaw", "close quiesced"}, kReleaseMutex = {"release mutex", "close mutex"};
const Steps kStartGuards = {"start errorRecoveryGuard 10", "start lastAliveStampGuard",
    info("Invoking requester"), "createThread"};
const Steps kEndGuards = {"end lastAliveStampGuard", "end errorRecoveryGuard"};

// The frozen window.
Steps frozen(bool thawSetFails = false) {
    const std::string method = "Info signalVssIsFrozenWaitForThaw: ";
    return Steps{"status 0", method + "Now quiesced", "quiesce", method + "Setting thaw event", "set thaw"} +
        (thawSetFails ? Steps{setEventFailure("signalVssIsFrozenWaitForThaw")} : Steps{}) +
        Steps{method + "On thaw.", "thaw"};
}
Steps waitEnded(const std::string& name, u32 waitResult, i32 status) {
    return Steps{error("::WaitForSingleObject(quiescedEvent, 5000) returned " + name),
                 "completeFailure " + std::to_string(static_cast<i32>(waitResult))} +
        (waitResult == ISnapshotFlowPlatform::kWaitTimeout ? Steps{"set thaw", setEventFailure("execute")}
                                                           : Steps{}) +
        Steps{"status " + std::to_string(status)};
}
// A failing DoSnapshot releases the quiesced event while the flow still has
// it open.
Steps doSnapshot(i32 result, bool eventsOpen = false) {
    const std::string method = "launchVssRequesterDoSnapshot";
    const std::string failed = "Error " + method + ": " + method + " failed ";
    if (result == kThrows)
        return {"DoSnapshot", failed + "due to : no writers"};
    return {"DoSnapshot",
            failed + "with error :  doSnapshotResult=" + std::to_string(static_cast<u32>(result)) +
                "  releasing  quiescedEvent.",
            eventsOpen ? "set quiesced"
                       : "Info " + method + ": quiescedEvent already closed; nobody waits for it"};
}

// A flow that got its worker thread: the requester's session ends before the
// wait (`atStart`) or when joined (`atJoin`).
Steps withWorker(const Steps& atStart, const Steps& waitEnd, const Steps& atJoin, i32 reported,
                 const Steps& second) {
    return kPrologue + kStartGuards + atStart +
        Steps{info("Waiting for event... s_quiescedEvent=" + textOf(kQuiesced) + " with timeout of :5000ms"),
              "wait quiesced 5000"} + waitEnd +
        Steps{info("Waiting for requester doSnapshot thread to terminate"), "wait worker INFINITE"} + atJoin +
        kCloseEvents + kEndGuards + Steps{info("Releasing mutex")} + kReleaseMutex +
        Steps{info("doSnapshotResult :" + std::to_string(static_cast<u32>(reported))),
              "status " + std::to_string(reported),
              info("creating second snapshot to take writers out of \"Timed out\" state")} + second +
        Steps{info("second snapshot completed")} +
        (waitEnd.front() == "status 0" ? Steps{"completeSuccess"} : Steps{}) + Steps{"close worker"};
}
// clang-format on

typedef ISnapshotFlowPlatform P;
const u32 kFrozen = P::kWaitObject0, kNeverFrozen = P::kWaitTimeout, kAbandoned = P::kWaitAbandoned;
const Steps kOk = {"DoSnapshot"};

TEST(SnapshotFlow, EveryPathInOrder) {
    Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", "5000");
    const Row rows[] = {
        // clang-format off
        {"the happy path", 0, 0, 0, kFrozen, EndsAtJoin, false, 0, withWorker({}, frozen(), kOk, 0, kOk)},
        // The section still shows the previous session's result; the record has the worker's.
        {"DoSnapshot throws", 0, kThrows, 0, kFrozen, EndsAtJoin, false, 0,
         withWorker({}, frozen(), doSnapshot(kThrows), 0, kOk)},
        {"prepare refused", 5, 0, 0, kFrozen, EndsAtJoin, false, -1002,
         kPrologue + Steps{error("notifyFreezePrepare failed with res=5 ")} + kCloseEvents + kReleaseMutex +
         Steps{"completeFailure 5"}},
        {"no worker thread", 0, 0, 0, kFrozen, NotCreated, false, -1005,
         kPrologue + kStartGuards + Steps{error("CreateThread failed. Last error: 8")} + kCloseEvents +
         kReleaseMutex + Steps{"completeFailure 1"} + kEndGuards},
        {"quiesced wait abandoned", 0, 0, 0, kAbandoned, EndsAtJoin, false, -1000,
         withWorker({}, waitEnded("WAIT_ABANDONED", kAbandoned, -1000), kOk, 0, kOk)},
        {"quiesced wait timed out, the thaw set fails", 0, 0, 0, kNeverFrozen, EndsAtJoin, true, -1001,
         withWorker({}, waitEnded("WAIT_TIMEOUT", kNeverFrozen, -1001), kOk, 0, kOk)},
        {"quiesced wait failed", 0, 0, 0, P::kWaitFailed, EndsAtJoin, false, -1002,
         withWorker({}, waitEnded("WAIT_FAILED", P::kWaitFailed, -1002), kOk, 0, kOk)},
        {"requester fails before the freeze", 0, kVssError, 0, kNeverFrozen, EndsAtStart, false, 0,
         withWorker(doSnapshot(kVssError, true), frozen(), {}, kVssError, kOk)},
        {"requester fails after the freeze", 0, kVssError, 0, kFrozen, EndsAtJoin, false, 0,
         withWorker({}, frozen(), doSnapshot(kVssError, true), kVssError, kOk)},
        {"second snapshot fails, events closed", 0, 0, kVssError, kFrozen, EndsAtJoin, false, 0,
         withWorker({}, frozen(), kOk, 0, doSnapshot(kVssError))},
        {"the thaw set fails in the window", 0, 0, 0, kFrozen, EndsAtJoin, true, 0,
         withWorker({}, frozen(true), kOk, 0, kOk)},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture::instance().clear();
        RunRecord::current() = RunRecord();
        SnapshotFlow flow;
        Scripted scripted(row, &flow.m_argsRequester);
        EXPECT_EQ(row.result, flow.execute(&scripted, &scripted, scripted, scripted));
        const Steps steps = scripted.steps();
        EXPECT_EQ(row.steps, steps);

        // The run record: the window's clock readings (after the wait, the
        // status write and the thaw set) only when the listener ran, the
        // sessions' results only once the worker was joined.
        Maybe lastStatus;
        for (const std::string& step : steps)
            if (step.rfind("status ", 0) == 0)
                lastStatus = std::stoll(step.substr(7));
        const i64 window = std::count(steps.begin(), steps.end(), "quiesce") > 0 ? 1 : 0;
        const bool joined = std::count(steps.begin(), steps.end(), "wait worker INFINITE") > 0;
        const RunRecord& record = RunRecord::current();
        EXPECT_EQ((std::vector<i64>{window, 2 * window, 3 * window}),
                  (std::vector<i64>{record.quiescedTicks, record.statusWrittenTicks, record.thawSetTicks}));
        EXPECT_EQ(joined, record.firstSessionDone);
        EXPECT_EQ(joined ? Maybe(row.first == kThrows ? SnapshotFlow::kRequesterThrew : row.first) : Maybe(),
                  record.requesterResult);
        EXPECT_EQ(joined ? Maybe(row.second) : Maybe(), record.secondSnapshotResult);
        EXPECT_EQ(lastStatus, record.status);
    }
}
} // namespace
