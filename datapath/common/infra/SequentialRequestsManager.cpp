#include "SequentialRequestsManager.h"

#include "Log.h"

SequentialRequestsManager::SequentialRequestsManager()
    : m_modulesInfo("SequentialModulesInfo"), m_modules("SequentialModules"),
      m_waitingRequests("WaitingModulesQueue"), m_waitingModules("WaitingModules"), m_lastKey(0) {}

void SequentialRequestsManager::registerModule(ModuleMemoryInformation* mmi) {
    m_modulesInfo[mmi->getName()] = mmi;
    m_modules.insert(mmi);
}

void SequentialRequestsManager::importRequestReferenceInternal(ModuleMemoryInformation* mmi) {
    auto itWaitingModule = m_modulesInfo.find(mmi->getName());
    ORV_CHECK(itWaitingModule != m_modulesInfo.end(), "unsubscribed mmi");
    ORV_CHECK(mmi->getIsRequestInWaitingModules() == false,
              "trying to import request ref for mmi that already has request ref in waiting modules");
    u64 key = ++m_lastKey;
    m_waitingModules[key] = mmi;
    m_waitingRequests.push(SequentialRequest(key, mmi));
    mmi->setRequestReference(true, key);
}

void SequentialRequestsManager::removeRequestReference(ModuleMemoryInformation* mmi) {
    auto waitingModulesIter = m_waitingModules.find(mmi->getRequestKey());
    ORV_CHECK_AS(waitingModulesIter != m_waitingModules.end() && waitingModulesIter->second == mmi,
                 "waitingModulesIter->second == mmi", "trying to remove request reference of wrong mmi");
    ORV_CHECK(mmi->getIsRequestInWaitingModules() == true, "wrong IsRequestInWaitingModules flag info");
    m_waitingModules.erase(waitingModulesIter);
    mmi->setRequestReference(false, 0);
}

void SequentialRequestsManager::iterateWaiting(ISequentialItemHandler& handler) {
    FunctorSequentialHandler front([&](SequentialRequest& sequentialRequest) {
        u64 key = m_waitingModules.empty() ? 0 : m_waitingModules.begin()->first;
        ORV_CHECK(sequentialRequest.getKey() == key,
                  "out of order- current request in WaitingModules  is not the same as the request in "
                  "waitingRequestsQueue front"
                      << " key=" << key << " "
                      << " sequentialRequest.getKey()=" << sequentialRequest.getKey() << " ");
        ModuleMemoryInformation* mmi = sequentialRequest.getMmi();
        NextIterationData::Flags postIterationFlags = handler.visit(sequentialRequest);
        bool completed = postIterationFlags[NextIterationData::COMPLETED_REQUEST];
        bool stillWaiting = postIterationFlags[NextIterationData::MMI_STILL_WAITING];
        bool holdsThisReference = mmi->getIsRequestInWaitingModules() && mmi->getRequestKey() == key;
        if (holdsThisReference)
            ORV_CHECK(
                postIterationFlags[NextIterationData::COMPLETED_REQUEST] == false,
                "removing completed request without importing a new request reference is not supported");
        // Not served: it waits in place. Served: its reference is gone, and a
        // fresh one exists exactly when it still waits.
        bool flagsMatchReferences = holdsThisReference
                                        ? stillWaiting
                                        : completed && stillWaiting == mmi->getIsRequestInWaitingModules();
        ORV_CHECK(flagsMatchReferences, "wrong flags data"
                                            << " completed=" << completed << " "
                                            << " stillWaiting=" << stillWaiting << " ");
        NextIterationData::Flags next;
        if (completed)
            next.set(NextIterationData::COMPLETED_REQUEST);
        return next;
    });
    m_waitingRequests.iterateRequests(front);
}

void SequentialRequestsManager::iterateAll(ISequentialItemHandler& handler) {
    u64 firstRequestKey = m_waitingModules.empty() ? 0 : m_waitingModules.begin()->first;
    for (ModuleMemoryInformation* mmi : m_modules) {
        auto it = m_modulesInfo.find(mmi->getName());
        ORV_CHECK_AS(it != m_modulesInfo.end() && it->second == mmi, "it != m_modulesInfo.end()",
                     "mmi doesn't exist in WaitingRequests container");
        auto waiting = m_waitingModules.find(mmi->getRequestKey());
        if (waiting == m_waitingModules.end() || waiting->second != mmi) {
            bool isRequestRefInWaitingModules = mmi->getIsRequestInWaitingModules();
            ORV_CHECK_AS(isRequestRefInWaitingModules == false, "isRequestRefInWaitingModules==false",
                         "ambiguity related to request ref existence in WaitingModules"
                             << " isRequestRefInWaitingModules=" << isRequestRefInWaitingModules << " "
                             << " firstRequestKey=" << firstRequestKey << " ");
        }
        SequentialRequest request(mmi->getRequestKey(), mmi);
        NextIterationData::Flags postIterationFlags = handler.visit(request);
        ORV_CHECK(postIterationFlags.count() == 0, "wrong postIterationFlags info"
                                                       << " postIterationFlags=" << postIterationFlags
                                                       << " ");
    }
}

ModuleMemoryInformation* SequentialRequestsManager::frontWaiter() const {
    return m_waitingRequests.empty() ? nullptr : m_waitingRequests.front().getMmi();
}
