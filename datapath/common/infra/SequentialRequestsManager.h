#pragma once
// Serves the waiting requests of registered modules strictly one after the
// other, in the order the modules' references arrived. A module holds at
// most one reference: the waiting modules (key -> module) and the queue of
// requests (same keys, same order) must always agree.
//
// iterateWaiting visits the reference at the front. The visit either leaves
// it in place (the module was not served: it answers MMI_STILL_WAITING and
// the walk ends, so nobody overtakes it), or serves the module and says so:
// it then removes the module's reference (removeRequestReference) and, if
// the module still waits, imports a fresh one at the back
// (importRequestReferenceInternal), and answers COMPLETED_REQUEST, with
// MMI_STILL_WAITING exactly when it imported. The walk then goes on with the
// new front. Any other answer ends the process.
//
// Not thread-safe: the owner (a memory pool) locks around it.
#include "ModuleMemoryInformation.h"
#include "StlMemShiledContainer.h"
#include "Types.h"
#include "WaitingRequestsQueue.h"

#include <map>
#include <set>
#include <string>

class SequentialRequestsManager {
public:
    SequentialRequestsManager();

    // A module must be registered before it imports a reference; modules
    // stay registered as long as the manager exists.
    void registerModule(ModuleMemoryInformation* mmi);

    // Queues a reference for the module at the back.
    void importRequestReferenceInternal(ModuleMemoryInformation* mmi);
    // Drops the module's reference from the waiting modules; its queue entry
    // leaves when the walk that called this sees COMPLETED_REQUEST.
    void removeRequestReference(ModuleMemoryInformation* mmi);

    void iterateWaiting(ISequentialItemHandler& handler);
    // Visits every registered module in name order with its key (0 when it
    // holds no reference); the visits answer no flags.
    void iterateAll(ISequentialItemHandler& handler);

    // The module whose reference is at the front, or nullptr.
    ModuleMemoryInformation* frontWaiter() const;

private:
    struct ByName {
        bool operator()(const ModuleMemoryInformation* a, const ModuleMemoryInformation* b) const {
            return a->getName() < b->getName();
        }
    };

    StlMemShiledContainer<std::map<std::string, ModuleMemoryInformation*>> m_modulesInfo;
    StlMemShiledContainer<std::set<ModuleMemoryInformation*, ByName>> m_modules;
    WaitingRequestsQueue m_waitingRequests;
    StlMemShiledContainer<std::map<u64, ModuleMemoryInformation*>> m_waitingModules;
    u64 m_lastKey;
};
