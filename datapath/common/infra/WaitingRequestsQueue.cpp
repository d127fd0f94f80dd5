#include "WaitingRequestsQueue.h"

#include "Log.h"

void WaitingRequestsQueue::popRequest() {
    ORV_CHECK(!empty(), "trying to remove request from an empty waiting list");
    m_requests.pop_front();
}

void WaitingRequestsQueue::iterateRequests(ISequentialItemHandler& handler) {
    while (!empty()) {
        // The visit may push: the front stays where it is.
        NextIterationData::Flags postIterationFlags = handler.visit(m_requests.front());
        bool completed = postIterationFlags[NextIterationData::COMPLETED_REQUEST];
        postIterationFlags.reset(NextIterationData::COMPLETED_REQUEST);
        ORV_CHECK(postIterationFlags.count() == 0, "wrong postIterationFlags info"
                                                       << " postIterationFlags=" << postIterationFlags
                                                       << " ");
        if (!completed)
            return;
        popRequest();
    }
}
