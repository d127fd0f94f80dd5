#include "AgentCommon/SharedMemoryHandler.h"

#include "Log.h"

#include <cstring>

const wchar_t* const SharedMemoryHandler::kSectionName = L"Global\\ProcessSharedMemory";

SharedMemoryHandler::~SharedMemoryHandler() {
    for (void* view : m_views)
        UnmapViewOfFile(view);
}

bool SharedMemoryHandler::createMapping() {
    m_mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionSize, kSectionName);
    if (m_mapping == nullptr) {
        DWORD lastError = GetLastError();
        LOG(LogWarn) << "Could not create file mapping object due to "
                     << " GetLastError()=" << lastError << " " << std::endl;
        return false;
    }
    m_mappings.emplace_back(m_mapping);
    return true;
}

bool SharedMemoryHandler::openMapping() {
    m_mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kSectionName);
    if (m_mapping == nullptr) {
        DWORD lastError = GetLastError();
        LOG(LogWarn) << "Could not create file mapping object due to "
                     << " GetLastError()=" << lastError << " " << std::endl;
        return false;
    }
    m_mappings.emplace_back(m_mapping);
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
