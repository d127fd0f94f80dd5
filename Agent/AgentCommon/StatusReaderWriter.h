#pragma once
// The agent's end of the status channel to the runner.
#include "AgentCommon/IInterProcessCommunicationHandler.h"

class StatusReaderWriter {
public:
    // Over the shared-memory section.
    StatusReaderWriter();
    // Over `handler`, which it then owns (tests hand in a fake).
    explicit StatusReaderWriter(IInterProcessCommunicationHandler* handler) : m_handler(handler) {}
    ~StatusReaderWriter();
    StatusReaderWriter(const StatusReaderWriter&) = delete;
    StatusReaderWriter& operator=(const StatusReaderWriter&) = delete;

    IInterProcessCommunicationHandler* handler() { return m_handler; }

private:
    IInterProcessCommunicationHandler* m_handler;
};
