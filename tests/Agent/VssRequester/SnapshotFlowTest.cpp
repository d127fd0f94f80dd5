// The snapshot flow on a scripted platform, listener, requester and status
// channel: per path, everything it does in one sequence (its platform calls,
// the calls it makes on the other three, and its records), its result and
// what it leaves in the run record. The requester runs on a thread of its
// own, either at once (a session that ends before the wait for the freeze)
// or only when the flow joins it (one that ends after the thaw), so the
// sequence is the same on every run.
#include "VssRequester/SnapshotFlow.h"

#include "AgentCommon/IInterProcessCommunicationHandler.h"
#include "AgentCommon/RunRecord.h"
#include "Tweaks.h"
#include "VssRequester/ISnapshotFlowListener.h"
#include "VssRequester/IVssRequester.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {
typedef std::vector<std::string> Steps;
Steps operator+(Steps a, const Steps& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

typedef ISnapshotFlowPlatform::Handle Handle;
Handle fakeHandle(std::uintptr_t value) {
    return reinterpret_cast<Handle>(value);
}
const Handle kMutex = fakeHandle(0x10), kQuiesced = fakeHandle(0x20), kThaw = fakeHandle(0x30),
             kWorker = fakeHandle(0x40);
std::string handleText(Handle handle) {
    std::ostringstream text;
    text << handle;
    return text.str();
}
const char* handleName(Handle handle) {
    return handle == kMutex      ? "mutex"
           : handle == kQuiesced ? "quiesced"
           : handle == kThaw     ? "thaw"
           : handle == kWorker   ? "worker"
                                 : "unknown";
}

const i32 kVssError = static_cast<i32>(0x8004230F); // printed unsigned: 2147754767
const u32 kOsMajorVersion = 10;
enum When { AtStart, AtJoin };

// A path: what the parties do, and what the flow must do with it.
struct Row {
    const char* name;
    i32 prepare;
    bool threadFails;
    u32 provider; // the quiesced wait's result when nobody set the event
    When requesterEnds;
    i32 first; // DoSnapshot's results
    i32 second;
    bool firstThrows;
    bool thawSetFails;
    i32 result;
    Steps steps;
};

// One sequence for calls and records; the records written since the last
// call go in before the next one.
class Trace {
public:
    void add(const std::string& step) {
        takeRecords();
        m_steps.push_back(step);
    }
    Steps steps() {
        takeRecords();
        return m_steps;
    }

private:
    // "Level method: message"; every record carries the flow's class.
    void takeRecords() {
        std::vector<std::string> records = LogCapture::instance().records();
        for (; m_recordsTaken < records.size(); ++m_recordsTaken) {
            std::vector<std::string> fields;
            std::istringstream in(records[m_recordsTaken]);
            for (std::string field; fields.size() < 6 && std::getline(in, field, ',');)
                fields.push_back(field);
            EXPECT_EQ("SnapshotFlow", fields.at(4)) << records[m_recordsTaken];
            m_steps.push_back(fields.at(1) + " " + fields.at(5) + ": " +
                              LogCapture::messageOf(records[m_recordsTaken]));
        }
    }
    Steps m_steps;
    size_t m_recordsTaken = 0;
};

class ScriptedPlatform : public ISnapshotFlowPlatform {
public:
    ScriptedPlatform(Trace& trace, const Row& row) : m_trace(trace), m_row(row) {}

    Handle createMutex(const char* name) override {
        return m_trace.add(std::string("createMutex ") + name), kMutex;
    }
    Handle createEvent(const char* name) override {
        m_trace.add(std::string("createEvent ") + name);
        return std::string(name).find("Quiesced") != std::string::npos ? kQuiesced : kThaw;
    }
    void resetEvent(Handle event) override {
        m_trace.add(std::string("reset ") + handleName(event));
        (event == kQuiesced ? m_quiescedSet : m_thawSet) = false;
    }
    bool setEvent(Handle event) override {
        m_trace.add(std::string("set ") + handleName(event));
        if (event == kThaw && m_row.thawSetFails)
            return m_lastError = 6, false;
        (event == kQuiesced ? m_quiescedSet : m_thawSet) = true;
        return true;
    }
    void releaseMutex(Handle mutex) override { m_trace.add(std::string("release ") + handleName(mutex)); }
    void closeHandle(Handle handle) override { m_trace.add(std::string("close ") + handleName(handle)); }
    u32 lastError() override { return m_lastError; }
    Handle createThread(ThreadRoutine routine, void* context) override {
        m_trace.add("createThread");
        if (m_row.threadFails)
            return m_lastError = 8, nullptr;
        m_routine = routine;
        m_context = context;
        if (m_row.requesterEnds == AtStart)
            runWorker();
        return kWorker;
    }
    u32 wait(Handle handle, u32 timeoutMs) override {
        m_trace.add(std::string("wait ") + handleName(handle) + " " +
                    (timeoutMs == kInfinite ? "INFINITE" : std::to_string(timeoutMs)));
        if (handle == kWorker && m_routine != nullptr)
            runWorker();
        if (handle != kQuiesced)
            return kWaitObject0;
        if (m_quiescedSet)
            return m_quiescedSet = false, kWaitObject0;
        return m_row.provider;
    }
    bool threadExitCode(Handle thread, u32& exitCode) override {
        EXPECT_EQ(kWorker, thread);
        exitCode = m_exitCode;
        return true;
    }
    u32 osMajorVersion() override { return kOsMajorVersion; }
    i64 ticksNow() override { return ++m_ticks; }
    void startErrorRecoveryGuard(u32 osMajorVersion) override {
        m_trace.add("start errorRecoveryGuard " + std::to_string(osMajorVersion));
    }
    void startLastAliveStampGuard() override { m_trace.add("start lastAliveStampGuard"); }
    void endLastAliveStampGuard() override { m_trace.add("end lastAliveStampGuard"); }
    void endErrorRecoveryGuard() override { m_trace.add("end errorRecoveryGuard"); }

private:
    void runWorker() {
        std::thread worker([this] { m_exitCode = static_cast<u32>(m_routine(m_context)); });
        worker.join();
        m_routine = nullptr;
    }

    Trace& m_trace;
    const Row& m_row;
    ThreadRoutine m_routine = nullptr;
    void* m_context = nullptr;
    u32 m_exitCode = 0;
    u32 m_lastError = 0;
    bool m_quiescedSet = false;
    bool m_thawSet = false;
    i64 m_ticks = 0;
};

class ScriptedRequester : public IVssRequester {
public:
    ScriptedRequester(Trace& trace, const Row& row, const ArgsRequester* args)
        : m_trace(trace), m_row(row), m_args(args) {}
    i32 DoSnapshot(ArgsRequester* args) override {
        m_trace.add("DoSnapshot");
        EXPECT_EQ(m_args, args);
        if (++m_calls > 1)
            return m_row.second;
        if (m_row.firstThrows)
            throw std::runtime_error("no writers");
        return m_row.first;
    }

private:
    Trace& m_trace;
    const Row& m_row;
    const ArgsRequester* m_args;
    int m_calls = 0;
};

class ScriptedListener : public ISnapshotFlowListener {
public:
    ScriptedListener(Trace& trace, i32 prepare) : m_trace(trace), m_prepare(prepare) {}
    i32 notifySnapshotPrepare() override { return m_trace.add("prepare"), m_prepare; }
    void notifySnapshotQuiesceSuccess() override { m_trace.add("quiesce"); }
    void notifySnapshotThawSuccess() override { m_trace.add("thaw"); }
    void notifySnapshotCompleteSuccess() override { m_trace.add("completeSuccess"); }
    void notifySnapshotCompleteFailure(i32 errNum) override {
        m_trace.add("completeFailure " + std::to_string(errNum));
    }

private:
    Trace& m_trace;
    i32 m_prepare;
};

class TracedStatus : public IInterProcessCommunicationHandler {
public:
    explicit TracedStatus(Trace& trace) : m_trace(trace) {}
    i32 read() override { return 0; }
    void write(i32 status) override { m_trace.add("status " + std::to_string(status)); }

private:
    Trace& m_trace;
};

std::string info(const std::string& message) {
    return "Info execute: " + message;
}
std::string error(const std::string& message) {
    return "Error execute: " + message;
}
std::string setEventFailure(const char* method) {
    return std::string("Error ") + method + ": SetEventFailure setEventRes=0  lastError=6 ";
}

const Steps kPrologue = {info("Creating mutex"),
                         "createMutex Global\\OrvelVssMutex",
                         info("Waiting for mutex"),
                         "wait mutex INFINITE",
                         info("Creating events"),
                         "createEvent Global\\OrvelVssQuiescedEvent",
                         "createEvent Global\\OrvelVssThawEvent",
                         "reset quiesced",
                         "reset thaw",
                         info("Events: " + handleText(kQuiesced) + ", " + handleText(kThaw)),
                         "prepare"};
const Steps kCloseEventsReleaseMutex = {"close thaw", "close quiesced", "release mutex", "close mutex"};
const Steps kStartGuards = {"start errorRecoveryGuard 10", "start lastAliveStampGuard",
                            info("Invoking requester"), "createThread"};
const Steps kEndGuards = {"end lastAliveStampGuard", "end errorRecoveryGuard"};

// The frozen window.
Steps frozen(bool thawSetFails = false) {
    const std::string method = "Info signalVssIsFrozenWaitForThaw: ";
    Steps steps = {"status 0", method + "Now quiesced", "quiesce", method + "Setting thaw event", "set thaw"};
    if (thawSetFails)
        steps.push_back(setEventFailure("signalVssIsFrozenWaitForThaw"));
    return steps + Steps{method + "On thaw.", "thaw"};
}
Steps waitEnded(const std::string& name, i32 errNum, i32 status) {
    Steps steps = {error("::WaitForSingleObject(quiescedEvent, 5000) returned " + name),
                   "completeFailure " + std::to_string(errNum)};
    if (errNum == 0x102)
        steps = steps + Steps{"set thaw", setEventFailure("execute")};
    return steps + Steps{"status " + std::to_string(status)};
}
// One DoSnapshot; a failing one releases the quiesced event while the flow
// still has it open.
Steps doSnapshot(i32 result, bool eventsOpen) {
    if (result == 0)
        return {"DoSnapshot"};
    const std::string method = "launchVssRequesterDoSnapshot: ";
    return {"DoSnapshot",
            "Error " + method + "launchVssRequesterDoSnapshot failed with error :  doSnapshotResult=" +
                std::to_string(static_cast<u32>(result)) + "  releasing  quiescedEvent.",
            eventsOpen ? "set quiesced"
                       : "Info " + method + "quiescedEvent already closed; nobody waits for it"};
}
const Steps kThrows = {"DoSnapshot",
                       "Error launchVssRequesterDoSnapshot: launchVssRequesterDoSnapshot failed "
                       "due to : no writers"};

// A flow that got its worker thread: the requester's session ends before the
// wait (`atStart`) or when joined (`atJoin`).
Steps withWorker(const Steps& atStart, const Steps& waitEnd, const Steps& atJoin, i32 reported,
                 const Steps& second) {
    Steps steps =
        kPrologue + kStartGuards + atStart +
        Steps{info("Waiting for event... s_quiescedEvent=" + handleText(kQuiesced) +
                   " with timeout of :5000ms"),
              "wait quiesced 5000"} +
        waitEnd +
        Steps{info("Waiting for requester doSnapshot thread to terminate"), "wait worker INFINITE"} + atJoin +
        Steps{"close thaw", "close quiesced"} + kEndGuards +
        Steps{info("Releasing mutex"),
              "release mutex",
              "close mutex",
              info("doSnapshotResult :" + std::to_string(static_cast<u32>(reported))),
              "status " + std::to_string(reported),
              info("creating second snapshot to take writers out of \"Timed out\" state")} +
        second + Steps{info("second snapshot completed")};
    if (waitEnd.front() == "status 0")
        steps.push_back("completeSuccess");
    return steps + Steps{"close worker"};
}

const u32 kFrozen = ISnapshotFlowPlatform::kWaitObject0, kNeverFrozen = ISnapshotFlowPlatform::kWaitTimeout;
const Steps kOk = doSnapshot(0, false);

TEST(SnapshotFlow, EveryPathInOrder) {
    Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", "5000");
    const Row rows[] = {
        // clang-format off
        {"the happy path", 0, false, kFrozen, AtJoin, 0, 0, false, false, 0,
         withWorker({}, frozen(), kOk, 0, kOk)},
        // The section still shows the previous session's result; the record has the worker's.
        {"DoSnapshot throws", 0, false, kFrozen, AtJoin, 0, 0, true, false, 0,
         withWorker({}, frozen(), kThrows, 0, kOk)},
        {"prepare refused", 5, false, kFrozen, AtJoin, 0, 0, false, false, -1002,
         kPrologue + Steps{error("notifyFreezePrepare failed with res=5 ")} + kCloseEventsReleaseMutex +
         Steps{"completeFailure 5"}},
        {"no worker thread", 0, true, kFrozen, AtJoin, 0, 0, false, false, -1005,
         kPrologue + kStartGuards + Steps{error("CreateThread failed. Last error: 8")} + kCloseEventsReleaseMutex +
         Steps{"completeFailure 1"} + kEndGuards},
        {"quiesced wait abandoned", 0, false, ISnapshotFlowPlatform::kWaitAbandoned, AtJoin, 0, 0, false, false,
         -1000, withWorker({}, waitEnded("WAIT_ABANDONED", 0x80, -1000), kOk, 0, kOk)},
        {"quiesced wait timed out, the thaw set fails", 0, false, kNeverFrozen, AtJoin, 0, 0, false, true, -1001,
         withWorker({}, waitEnded("WAIT_TIMEOUT", 0x102, -1001), kOk, 0, kOk)},
        {"quiesced wait failed", 0, false, ISnapshotFlowPlatform::kWaitFailed, AtJoin, 0, 0, false, false, -1002,
         withWorker({}, waitEnded("WAIT_FAILED", -1, -1002), kOk, 0, kOk)},
        {"requester fails before the freeze", 0, false, kNeverFrozen, AtStart, kVssError, 0, false, false, 0,
         withWorker(doSnapshot(kVssError, true), frozen(), {}, kVssError, kOk)},
        {"requester fails after the freeze", 0, false, kFrozen, AtJoin, kVssError, 0, false, false, 0,
         withWorker({}, frozen(), doSnapshot(kVssError, true), kVssError, kOk)},
        {"second snapshot fails, events closed", 0, false, kFrozen, AtJoin, 0, kVssError, false, false, 0,
         withWorker({}, frozen(), kOk, 0, doSnapshot(kVssError, false))},
        {"the thaw set fails in the window", 0, false, kFrozen, AtJoin, 0, 0, false, true, 0,
         withWorker({}, frozen(true), kOk, 0, kOk)},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture::instance().clear();
        RunRecord::current() = RunRecord();
        Trace trace;
        SnapshotFlow flow;
        ScriptedPlatform platform(trace, row);
        ScriptedRequester requester(trace, row, &flow.m_argsRequester);
        ScriptedListener listener(trace, row.prepare);
        TracedStatus status(trace);

        EXPECT_EQ(row.result, flow.execute(&listener, &requester, status, platform));
        const Steps steps = trace.steps();
        EXPECT_EQ(row.steps, steps);
        EXPECT_EQ(1, std::count_if(steps.begin(), steps.end(),
                                   [](const std::string& step) { return step.rfind("complete", 0) == 0; }))
            << "one completion notice per run";

        // The run record: the window's clock readings (after the wait, the
        // status write and the thaw set) only when the listener ran, the
        // sessions' results only once the worker was joined.
        const RunRecord& record = RunRecord::current();
        const bool window = std::find(steps.begin(), steps.end(), "quiesce") != steps.end();
        EXPECT_EQ(window ? 1 : 0, record.quiescedTicks);
        EXPECT_EQ(window ? 2 : 0, record.statusWrittenTicks);
        EXPECT_EQ(window ? 3 : 0, record.thawSetTicks);
        const bool joined = std::find(steps.begin(), steps.end(), "wait worker INFINITE") != steps.end();
        EXPECT_EQ(joined, record.firstSessionDone);
        if (joined) {
            EXPECT_EQ(row.firstThrows ? SnapshotFlow::kRequesterThrew : row.first, record.requesterResult);
            EXPECT_EQ(row.second, record.secondSnapshotResult);
        } else {
            EXPECT_FALSE(record.requesterResult || record.secondSnapshotResult);
        }
        // The last status written.
        const auto lastStatus = std::find_if(steps.rbegin(), steps.rend(), [](const std::string& step) {
            return step.rfind("status ", 0) == 0;
        });
        EXPECT_EQ(lastStatus == steps.rend() ? "" : lastStatus->substr(7),
                  record.status ? std::to_string(*record.status) : "");
    }
}
} // namespace
