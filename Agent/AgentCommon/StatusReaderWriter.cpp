#include "AgentCommon/StatusReaderWriter.h"

#include "AgentCommon/SharedMemoryHandler.h"
#include "TrackedNew.h"

StatusReaderWriter::StatusReaderWriter() : m_handler(ORV_NEW(SharedMemoryHandler)()) {}

StatusReaderWriter::~StatusReaderWriter() {
    trackedDelete(m_handler);
}
