#pragma once
// A named object that owns one or more threads (one per open()) and a queue
// of actions: any thread hands it an Action with enqueue(); its threads take
// them out one at a time, run each under the dead-lock checker's watch and
// destroy it. Actions are tracked objects (ORV_NEW) owned by the object from
// enqueue() on.
//
// Shutdown (terminateAllThreads, also run by the destructor) lets running
// actions finish, never interrupts one, and destroys the queued ones without
// running them.
//
// A RateMonitor may be attached to measure how long the queue stays busy;
// no active object of this program has one.
#include "PriorityQueue.h"
#include "ThreadWrapper.h"
#include "Types.h"

#include <condition_variable>
#include <mutex>
#include <string>

class DlcKeepalive;
class RateMonitor;

class ActiveObject : public ThreadWrapper {
public:
    class Action {
    public:
        virtual ~Action() = default;
        virtual void execute() = 0;
        // The action's own dead-lock time-out, or t_defaultDlcTimeoutSec.
        virtual u32 getDlcTimeoutSec();

        u32 priority = 0;                  // written by the running thread
        u32 threadSeq = 0;                 // written by the running thread
        DlcKeepalive* keepalive = nullptr; // the running thread's
        u32 m_dlcTimeoutSec = 0;           // 0: the default
    };

    // A null name ends the process. forceVerbose points to the concrete
    // class's process-wide flag.
    ActiveObject(const char* name, bool* forceVerbose);
    ~ActiveObject() override;

    const char* getName() override { return m_name.c_str(); }
    void run() override;
    // Started threads less queued actions, plus one; never below 0.
    virtual u32 getSpareCapacity();
    // Called by each thread at the start of run() with its sequence number.
    virtual void onThreadStart(u32 threadSeq);

    // Posts at priority 0 and wakes one thread.
    void enqueue(Action* action);
    void terminateAllThreads();
    // Takes ownership of a tracked monitor; before the first enqueue.
    void attachRateMonitor(RateMonitor* monitor);

private:
    bool verbose() const;

    PriorityQueue<Action*> m_pq;
    std::mutex m_lock;
    std::condition_variable m_cond;
    bool m_enabled;
    u32 m_numStarted;
    u32 m_numRunning;
    u32 m_threadSeq;
    bool* m_forceVerbose;
    std::string m_name;
    RateMonitor* m_rateMonitor; // tracked, owned; lock order: object lock, then the monitor's
    u64 m_dlcCustomBehaviour;
};
