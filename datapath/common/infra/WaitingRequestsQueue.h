#pragma once
// Requests that wait, first in first out, and the visitor that walks them.
//
// A walk (iterateRequests) always looks at the front: a visit that answers
// COMPLETED_REQUEST takes the front off the queue and the walk goes on with
// the next one; any other visit ends the walk, so nothing behind a waiting
// request is visited before it. MMI_STILL_WAITING is for walkers that keep
// per-module references (SequentialRequestsManager); the plain queue handles
// COMPLETED_REQUEST only, and a visit that answers a flag it does not handle
// ends the process.
//
// Not thread-safe: the owner locks around it.
#include "StlMemShiledContainer.h"
#include "Types.h"

#include <bitset>
#include <functional>
#include <list>

class ModuleMemoryInformation;

namespace WaitingRequestsQueue_Internal {

struct NextIterationData {
    enum Flag {
        COMPLETED_REQUEST = 0, // the request is done and leaves the queue
        MMI_STILL_WAITING = 1, // its module still waits
    };
    // Wider than the flags defined: a bit nobody handles is a fault, not noise.
    typedef std::bitset<8> Flags;
};

// One waiting request: its key (arrival number) and the module it is for.
class SequentialRequest {
public:
    SequentialRequest(u64 key, ModuleMemoryInformation* mmi) : m_key(key), m_mmi(mmi) {}
    u64 getKey() const { return m_key; }
    ModuleMemoryInformation* getMmi() const { return m_mmi; }

private:
    u64 m_key;
    ModuleMemoryInformation* m_mmi;
};

class ISequentialItemHandler {
public:
    virtual ~ISequentialItemHandler() = default;
    virtual NextIterationData::Flags visit(SequentialRequest& request) = 0;
};

// A function object as a handler.
class FunctorSequentialHandler : public ISequentialItemHandler {
public:
    typedef std::function<NextIterationData::Flags(SequentialRequest&)> Functor;
    explicit FunctorSequentialHandler(Functor functor) : m_functor(std::move(functor)) {}
    NextIterationData::Flags visit(SequentialRequest& request) override { return m_functor(request); }

private:
    Functor m_functor;
};

} // namespace WaitingRequestsQueue_Internal

using WaitingRequestsQueue_Internal::FunctorSequentialHandler;
using WaitingRequestsQueue_Internal::ISequentialItemHandler;
using WaitingRequestsQueue_Internal::NextIterationData;
using WaitingRequestsQueue_Internal::SequentialRequest;

class WaitingRequestsQueue {
public:
    // Registered for memory accounting under the name.
    explicit WaitingRequestsQueue(const char* name) : m_requests(name) {}

    void push(const SequentialRequest& request) { m_requests.push_back(request); }
    // Takes the front off; an empty queue ends the process.
    void popRequest();
    void iterateRequests(ISequentialItemHandler& handler);

    bool empty() const { return m_requests.empty(); }
    const SequentialRequest& front() const { return m_requests.front(); }

private:
    StlMemShiledContainer<std::list<SequentialRequest>> m_requests;
};
