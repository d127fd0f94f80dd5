#pragma once
// Base of every long-lived thread: derive, implement run(), call open() once
// per thread wanted. The threads run detached; the object must outlive them
// (waitAllStarted() and the owner's own shutdown protocol see to that).
//
// On its thread, before run(), each thread names itself after getName() in
// the logger, logs "Starting ThreadWrapper of type <name> internalId=<n> ",
// records its id, joins the memory watcher's thread table and seeds rand();
// after run() returns it leaves both tables and logs "Ending ...".
#include "Mutex.h"
#include "Trigger.h"
#include "Types.h"

#include <vector>

class ThreadWrapper {
public:
    ThreadWrapper();
    // The run-time type name of the most derived object in the form MSVC
    // gives it ("class DeadLockCheckerManager"); GCC's mangled name is
    // demangled and given the same "class " prefix so that logs read alike
    // on every compiler.
    virtual const char* getName();
    // Neither stops nor joins the threads.
    virtual ~ThreadWrapper();
    virtual void run() = 0;

    // Starts one more thread running run(). A thread that cannot be created
    // ends the process.
    void open();
    // Returns once every thread opened so far has recorded itself.
    void waitAllStarted();

protected:
    // The number of open() calls so far.
    u32 numOpened();

private:
    ThreadWrapper(const ThreadWrapper&) = delete;
    ThreadWrapper& operator=(const ThreadWrapper&) = delete;

    friend struct ThreadWrapperEntry;
    // The body of every opened thread.
    void threadCallback();

    Trigger m_startedTrigger;
    std::vector<u32> m_threadIds;
    Mutex m_mutex;
    u32 m_numOpened;
};
