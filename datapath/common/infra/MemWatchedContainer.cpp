#include "MemWatchedContainer.h"

#include "Log.h"

#include <algorithm>
#include <map>

void MemWatchedContainerDatabase::registerContainer(MemWatchedContainer* container) {
    MutexGuard guard(m_mutex);
    bool rt = m_containers.insert(container).second;
    ORV_ASSERT(rt);
}

void MemWatchedContainerDatabase::unregisterContainer(MemWatchedContainer* container) {
    MutexGuard guard(m_mutex);
    std::set<MemWatchedContainer*>::iterator iter = m_containers.find(container);
    ORV_ASSERT(iter != m_containers.end());
    m_containers.erase(iter);
}

void MemWatchedContainerDatabase::printWatchedContainers() {
    struct Usage {
        u64 items = 0;
        u64 bytes = 0;
        u64 maxBytes = 0;
    };
    std::map<std::string, Usage> byName;
    u64 total = 0;
    size_t count = 0;
    {
        MutexGuard guard(m_mutex);
        count = m_containers.size();
        for (MemWatchedContainer* c : m_containers) {
            u64 items = c->size();
            u64 bytes = (static_cast<u64>(c->elementSize()) + c->elementOverhead()) * items;
            Usage& u = byName[c->watchedName()];
            u.items += items;
            u.bytes += bytes;
            u.maxBytes = std::max(u.maxBytes, bytes);
            total += bytes;
        }
    }
    for (const auto& entry : byName) {
        LogItem statement(LoggerNon, LogInfo, ORV_LOG_COLUMNS(), 0);
        std::ostream& item = statement.stream();
        item << "ContainerName = " << entry.first << " items = " << entry.second.items;
        if (entry.second.maxBytes != 0)
            item << " memory = " << entry.second.bytes << " (max = " << entry.second.maxBytes << ")";
        item << std::endl;
    }
    // The total follows the value convention (" name=" value " "), and "in "
    // starts after that blank: " estimatedTotal=4096 in 7 containers".
    LOG_FULL(LoggerNon, LogInfo, 0) << " estimatedTotal=" << total << " in " << count << " containers"
                                    << std::endl;
}
