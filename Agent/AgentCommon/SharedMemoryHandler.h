#pragma once
// The status channel to the runner: the 200-byte section
// "Global\ProcessSharedMemory" with the status at offset 0 (signed 32-bit,
// little-endian).
//
// Every read and write takes a section handle and a view of its own and keeps
// both for the object's life, which in the agent is the process's: the
// section must outlive the agent's last write until the runner has read it,
// and a runner that opens it late must still find it.
#include "AgentCommon/IInterProcessCommunicationHandler.h"
#include "windows/WinHandle.h"

#include <deque>

class SharedMemoryHandler : public IInterProcessCommunicationHandler {
public:
    static const u32 kSectionSize = 200;

    SharedMemoryHandler() = default;
    ~SharedMemoryHandler() override;

    i32 read() override;
    void write(i32 status) override;

private:
    // Creates the section, or opens it when it exists; false after a Warn record.
    [[nodiscard]] bool createMapping();
    // Opens the existing section; false after a Warn record.
    [[nodiscard]] bool openMapping();
    // Takes the handle a create or open returned; false after a Warn record.
    [[nodiscard]] bool keepMapping(HANDLE mapping, const char* methodColumns);
    // Maps the latest section handle; the view stays NULL on failure.
    void setHandleToMapObject();

    std::deque<WinHandle> m_mappings;
    std::deque<void*> m_views;
    HANDLE m_mapping = nullptr;
    void* m_view = nullptr;
};
