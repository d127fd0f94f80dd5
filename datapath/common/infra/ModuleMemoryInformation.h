#pragma once
// The account one client module keeps with a memory allocator. The pool's
// records carry the module's limit, its reservation, its waiting requests and
// its place among the waiting modules; the heap's records only count what the
// module holds. The owning allocator writes a record under its own lock.
#include "Types.h"

#include <string>

class ModuleMemoryInformation {
public:
    ModuleMemoryInformation(const std::string& name, u64 limitBytes, u64 reservedBytes)
        : m_name(name), m_limitBytes(limitBytes), m_reservedBytes(reservedBytes) {}
    virtual ~ModuleMemoryInformation() = default;
    ModuleMemoryInformation(const ModuleMemoryInformation&) = delete;
    ModuleMemoryInformation& operator=(const ModuleMemoryInformation&) = delete;

    // Segments of heap modules go back to the MemoryHeap, never to a pool.
    virtual bool isHeapMemory() const { return false; }

    const std::string& getName() const { return m_name; }
    u64 getLimitBytes() const { return m_limitBytes; }
    u64 getReservedBytes() const { return m_reservedBytes; }
    // Whole chunks, as the allocator hands them out.
    u64 getCurrentlyUsedBytes() const { return m_usedBytes; }
    void addUsedBytes(u64 bytes) { m_usedBytes += bytes; }
    void removeUsedBytes(u64 bytes) { m_usedBytes -= bytes; }
    // The bytes of its reservation that the module has not used yet.
    u64 getUnusedReservation() const {
        return m_reservedBytes > m_usedBytes ? m_reservedBytes - m_usedBytes : 0;
    }

    // Requests of the module that wait, and how many of its requests could
    // not be met at once since it registered ("NAs": not available).
    u64 getPendingRequests() const { return m_pendingRequests; }
    void addPendingRequest() {
        ++m_pendingRequests;
        ++m_notAvailableCount;
    }
    void removePendingRequest() { --m_pendingRequests; }
    u64 getNotAvailableCount() const { return m_notAvailableCount; }

    // The module's reference among the waiting modules: whether it holds
    // one, and under which key.
    bool getIsRequestInWaitingModules() const { return m_isRequestInWaitingModules; }
    u64 getRequestKey() const { return m_requestKey; }
    void setRequestReference(bool held, u64 key) {
        m_isRequestInWaitingModules = held;
        m_requestKey = key;
    }

private:
    std::string m_name;
    u64 m_limitBytes;
    u64 m_reservedBytes;
    u64 m_usedBytes = 0;
    u64 m_pendingRequests = 0;
    u64 m_notAvailableCount = 0;
    bool m_isRequestInWaitingModules = false;
    u64 m_requestKey = 0; // 0: none; keys start at 1
};

// A module of the MemoryHeap: no limit, no reservation, never waits.
class HeapModuleMemoryInformation : public ModuleMemoryInformation {
public:
    explicit HeapModuleMemoryInformation(const std::string& name) : ModuleMemoryInformation(name, 0, 0) {}
    bool isHeapMemory() const override { return true; }
};
