#pragma once
// The stand-in's asynchronous operations: an IVssAsync whose completion comes
// from its own thread (or at once, later, or never, as the configuration
// says), and whose Wait honours its time-out.
#include "../TestbedCommon.h"
#include "StandInConfig.h"

#include <windows.h>

#include <vss.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

// What the requester's IVssAsync and the work behind it share; it outlives
// whichever of the two lets go first.
class AsyncState {
public:
    AsyncState(const std::string& operation, unsigned session);
    bool valid() const { return m_done.valid(); }
    const std::string& operation() const { return m_operation; }
    unsigned session() const { return m_session; }

    // The first of completion and cancellation counts. `outcome` is what the
    // work itself came to, recorded when the configuration replaced it.
    void complete(HRESULT status, HRESULT outcome);
    // Returns the status the operation had: still pending, or already over.
    HRESULT cancel();
    bool waitDone(DWORD ms) const;
    // VSS_S_ASYNC_PENDING until it completes.
    HRESULT status() const;

private:
    const std::string m_operation;
    const unsigned m_session;
    mutable std::mutex m_lock;
    Handle m_done; // manual reset
    HRESULT m_status;
};

// The requester's object for `state`, with one reference.
IVssAsync* newAsyncObject(const std::shared_ptr<AsyncState>& state, const AsyncPlan& plan,
                          const StandInConfig& config);

// Starts the operation once the call that returned it is on record. `work`
// (may be empty) runs on a thread of its own and yields the operation's
// outcome; the plan may delay the completion, replace its status or
// withhold it. An operation whose thread cannot start completes with the
// error.
void launchAsync(const std::shared_ptr<AsyncState>& state, const AsyncPlan& plan,
                 std::function<HRESULT()> work);
