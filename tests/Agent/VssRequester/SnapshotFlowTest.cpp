// The flow's ordering against a scripted requester and a recording listener,
// with the real named events: what the listener hears, what the runner's
// channel receives, and what the flow returns.
#ifdef _WIN32
#include "VssRequester/SnapshotFlow.h"
#include "AgentCommon/IInterProcessCommunicationHandler.h"
#include "AgentCommon/StatusReaderWriter.h"
#include "TrackedNew.h"
#include "Tweaks.h"
#include "VssRequester/ISnapshotFlowListener.h"
#include "VssRequester/IVssRequester.h"
#include "support/LogCapture.h"
#include "windows/WinHandle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
// How the scripted requester's first DoSnapshot behaves; later calls return
// at once with `laterResult`.
enum class FirstCall {
    Freezes,     // sets the quiesced event as a provider would, waits for the thaw
    FailsAtOnce, // returns before anything is frozen
    NeverFreezes // neither signals nor fails: waits for the thaw only
};

class ScriptedRequester : public IVssRequester {
public:
    ScriptedRequester(FirstCall first, i32 firstResult, i32 laterResult)
        : m_first(first), m_firstResult(firstResult), m_laterResult(laterResult) {}

    i32 DoSnapshot(ArgsRequester*) override {
        if (++calls > 1)
            return m_laterResult;
        if (m_first == FirstCall::FailsAtOnce)
            return m_firstResult;
        WinHandle thaw(CreateEventA(nullptr, FALSE, FALSE, "Global\\OrvelVssThawEvent"));
        if (m_first == FirstCall::Freezes) {
            WinHandle quiesced(CreateEventA(nullptr, FALSE, FALSE, "Global\\OrvelVssQuiescedEvent"));
            SetEvent(quiesced.get());
        }
        sawThaw = WaitForSingleObject(thaw.get(), 5000) == WAIT_OBJECT_0;
        return m_firstResult;
    }

    int calls = 0;
    bool sawThaw = false;

private:
    FirstCall m_first;
    i32 m_firstResult;
    i32 m_laterResult;
};

class RecordingListener : public ISnapshotFlowListener {
public:
    explicit RecordingListener(i32 prepareResult) : m_prepareResult(prepareResult) {}
    i32 notifySnapshotPrepare() override {
        calls.push_back("prepare");
        return m_prepareResult;
    }
    void notifySnapshotQuiesceSuccess() override { calls.push_back("quiesce"); }
    void notifySnapshotThawSuccess() override { calls.push_back("thaw"); }
    void notifySnapshotCompleteSuccess() override { calls.push_back("success"); }
    void notifySnapshotCompleteFailure(i32 errNum) override {
        calls.push_back("failure " + std::to_string(errNum));
    }

    std::vector<std::string> calls;

private:
    i32 m_prepareResult;
};

class RecordingChannel : public IInterProcessCommunicationHandler {
public:
    explicit RecordingChannel(std::vector<i32>& writes) : m_writes(writes) {}
    i32 read() override { return m_writes.empty() ? 0 : m_writes.back(); }
    void write(i32 status) override { m_writes.push_back(status); }

private:
    std::vector<i32>& m_writes;
};

size_t countContaining(const std::string& fragment) {
    size_t count = 0;
    for (const std::string& message : LogCapture::instance().messages())
        count += message.find(fragment) != std::string::npos;
    return count;
}

TEST(SnapshotFlow, ListenerChannelAndStatusFollowTheRequesterAndTheProvider) {
    const std::vector<std::string> succeeded = {"prepare", "quiesce", "thaw", "success"};
    const struct {
        const char* name;
        i32 prepareResult;
        FirstCall first;
        i32 firstResult;
        i32 laterResult;
        i32 status;
        std::vector<std::string> listener;
        std::vector<i32> writes;
        int requesterCalls;
        bool sawThaw;
    } rows[] = {
        // clang-format off
        {"frozen and thawed", 0, FirstCall::Freezes, 0, 0, 0, succeeded, {0, 0}, 2, true},
        // The worker releases the flow; only the channel carries the failure. The
        // failing second snapshot finds the quiesced event closed and skips the release.
        {"fails before the freeze", 0, FirstCall::FailsAtOnce, 5, 5, 0, succeeded, {0, 5}, 2, false},
        {"fails after the thaw", 0, FirstCall::Freezes, 9, 0, 0, succeeded, {0, 9}, 2, true},
        // The thaw is set once on the time-out, so a late provider is not left holding the writers.
        {"never freezes", 0, FirstCall::NeverFreezes, 7, 0, -1001, {"prepare", "failure 258"}, {-1001, 7}, 2, true},
        {"prepare refused", 5, FirstCall::Freezes, 0, 0, -1002, {"prepare", "failure 5"}, {}, 0, false},
        // clang-format on
    };
    Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", "1000");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture::instance().clear();
        ScriptedRequester requester(row.first, row.firstResult, row.laterResult);
        RecordingListener listener(row.prepareResult);
        std::vector<i32> writes;
        StatusReaderWriter channel(ORV_NEW(RecordingChannel)(writes));
        SnapshotFlow flow;

        EXPECT_EQ(row.status, flow.execute(&listener, &requester, &channel));
        EXPECT_EQ(row.listener, listener.calls);
        EXPECT_EQ(row.writes, writes);
        EXPECT_EQ(row.requesterCalls, requester.calls);
        EXPECT_EQ(row.sawThaw, requester.sawThaw);
        // A failing DoSnapshot never sets a closed or missing event.
        EXPECT_EQ(0u, countContaining("SetEventFailure"));
        EXPECT_EQ(row.laterResult != 0 ? 1u : 0u, countContaining("quiescedEvent already closed"));
    }
}

} // namespace
#endif
