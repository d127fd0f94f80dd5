#pragma once
// Memory accounting for the infrastructure's long-lived containers: each one
// is registered by name with the process-wide database, which can report
// item counts and estimated bytes per name.
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <cstddef>
#include <set>
#include <string>

class MemWatchedContainer {
public:
    // elementSize: bytes of one element; elementOverhead: the container's
    // own bookkeeping per element (a tree node's links, for instance).
    MemWatchedContainer(const char* name, u32 elementSize, u32 elementOverhead)
        : m_name(name), m_elementSize(elementSize), m_elementOverhead(elementOverhead) {}
    virtual ~MemWatchedContainer() = default;
    // Number of elements.
    virtual size_t size() const = 0;

    const std::string& watchedName() const { return m_name; }
    u32 elementSize() const { return m_elementSize; }
    u32 elementOverhead() const { return m_elementOverhead; }

private:
    std::string m_name;
    u32 m_elementSize;
    u32 m_elementOverhead;
};

class MemWatchedContainerDatabase : public Singleton<MemWatchedContainerDatabase> {
public:
    // Registering a container twice, or unregistering one that is not
    // registered, ends the process.
    void registerContainer(MemWatchedContainer* container);
    void unregisterContainer(MemWatchedContainer* container);
    // One Info record per container name (items and bytes summed over the
    // containers of that name), then the total. Sizes are read without the
    // owners' locks: a container changing meanwhile gives an approximate
    // count, which is all a diagnostic report needs.
    void printWatchedContainers();

private:
    friend class Singleton<MemWatchedContainerDatabase>;
    MemWatchedContainerDatabase() = default;

    Mutex m_mutex;
    std::set<MemWatchedContainer*> m_containers;
};
