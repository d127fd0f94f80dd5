#include "AgentCommon/SharedMemoryHandler.h"

#include "AgentCommon/AgentObjectNames.h"
#include "Log.h"

#include <cstring>

SharedMemoryHandler::~SharedMemoryHandler() {
    for (void* view : m_views)
        UnmapViewOfFile(view);
}

bool SharedMemoryHandler::createMapping() {
    const char* columns = ORV_LOG_COLUMNS();
    return keepMapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionSize,
                                          AgentObjectNames::kStatusSection),
                       columns);
}

bool SharedMemoryHandler::openMapping() {
    const char* columns = ORV_LOG_COLUMNS();
    return keepMapping(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, AgentObjectNames::kStatusSection),
                       columns);
}

// The failure is reported under the caller's label.
bool SharedMemoryHandler::keepMapping(HANDLE mapping, const char* methodColumns) {
    m_mapping = mapping;
    if (mapping == nullptr) {
        DWORD lastError = GetLastError();
        LOG_AT(LogWarn, methodColumns) << "Could not create file mapping object due to "
                                       << " GetLastError()=" << lastError << " " << std::endl;
        return false;
    }
    m_mappings.emplace_back(mapping);
    return true;
}

void SharedMemoryHandler::setHandleToMapObject() {
    m_view = MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, kSectionSize);
    if (m_view == nullptr) {
        DWORD lastError = GetLastError();
        LOG(LogWarn) << "Could not map view of file "
                     << " GetLastError()=" << lastError << " " << std::endl;
        return;
    }
    m_views.push_back(m_view);
}

void SharedMemoryHandler::write(i32 status) {
    if (!createMapping())
        return;
    setHandleToMapObject();
    if (m_view == nullptr)
        return;
    std::memcpy(m_view, &status, sizeof(status));
    LOG(LogInfo) << "writing " << status << " to shared memory buffer" << std::endl;
}

i32 SharedMemoryHandler::read() {
    if (!openMapping()) {
        LOG(LogInfo) << "failed to read data from buffer" << std::endl;
        return 0;
    }
    setHandleToMapObject();
    i32 status = 0;
    if (m_view != nullptr)
        std::memcpy(&status, m_view, sizeof(status));
    return status;
}
