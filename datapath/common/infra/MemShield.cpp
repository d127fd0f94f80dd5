#include "MemShield.h"

#include "Log.h"
#include "MemShieldReports.h"
#include "Timer.h"
#include "Tweaks.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <ios>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {
const u8 kMarginByte = 0xFF;

u64 cachedNowMs() {
    return static_cast<u64>(Timer::instance()->getLastTimestampMs_Inaccurate(true));
}

// The inline assertion form under a given label and condition text.
[[noreturn]] void inlineFailure(const char* label, const char* condText, const char* file, int line) {
    LOG_LABELED(LogError, label) << "Assertion (" << condText << ") failed " << file << " " << line
                                 << std::endl;
    Os::failFast();
}
} // namespace

MemShield::CounterCell MemShield::s_cells[MemShield::kOwnedCells + 1];
std::atomic<u32> MemShield::s_nextCell{1};

u32 MemShield::claimCell() {
    u32 cell = s_nextCell.fetch_add(1);
    return cell <= kOwnedCells ? cell : kOwnedCells + 1;
}

i64 MemShield::allocatedBytes() const {
    i64 total = 0;
    for (const CounterCell& cell : s_cells)
        total += cell.value.load(std::memory_order_relaxed);
    return total;
}

MemShield::WatchedRegistry::WatchedRegistry(const char* name, Shard* shards, AllocMap Shard::*map)
    : MemWatchedContainer(name, sizeof(AllocMap::value_type), MemWatchedNodeOverhead<AllocMap>::value),
      m_shards(shards), m_map(map) {
    MemWatchedContainerDatabase::instance()->registerContainer(this);
}

MemShield::WatchedRegistry::~WatchedRegistry() {
    MemWatchedContainerDatabase::instance()->unregisterContainer(this);
}

size_t MemShield::WatchedRegistry::size() const {
    size_t items = 0;
    for (u32 i = 0; i < kShards; ++i) {
        MutexGuard guard(m_shards[i].mutex);
        items += (m_shards[i].*m_map).size();
    }
    return items;
}

MemShield::MemShield()
    : m_watchedAllocations("MemShiledMap", m_shards, &Shard::allocations),
      m_watchedRecentlyFreed("MemShieldRecentFreed", m_shards, &Shard::recentlyFreed), m_preMarginSize(16),
      m_postMarginSize(64), m_historyLengthMs(0) {
    Tweaks* tweaks = Tweaks::instance();
    m_preMarginSize = tweaks->uintVal("t_memshield_pre_margin_size", 16u);
    m_postMarginSize = tweaks->uintVal("t_memshield_post_margin_size", 64u);
    m_historyLengthMs = tweaks->uintVal("t_allocationHistoryLengthMs", 0u);
    // The clocks are created here, before any allocation needs a timestamp:
    // creating them later, from inside an allocation, would log from there.
    Timer::instance()->getLastTimestampMs_Inaccurate(true);
}

void MemShield::countedSizeFailure(size_t size, size_t count) {
    if (count >= kSingleObjectMarker)
        inlineFailure("MemShield::internalAllocAndCountOnlyArray",
                      "numItems < std::numeric_limits<u32>::max()", __FILE__, __LINE__);
    (void)size;
    inlineFailure("MemShield::internalAllocAndCountOnlyArray", "size <= std::numeric_limits<u32>::max() - 8",
                  __FILE__, __LINE__);
}

void MemShield::markerFailure(bool single) {
    if (single)
        inlineFailure("MemShield::freeAndCount", "*(--sanityPtr) == std::numeric_limits<u32>::max()",
                      __FILE__, __LINE__);
    inlineFailure("MemShield::freeAndCountArray", "*(--sanityPtr) < std::numeric_limits<u32>::max()",
                  __FILE__, __LINE__);
}

void MemShield::freeArray(void* ptr, const char* file, u32 line) {
    if (isShieldOn())
        freeAndUnregister(ptr, file, line);
    else
        freeAndCountArray(ptr);
}

void* MemShield::internalAllocAndRegister(size_t size, size_t arrayLength, const char* className,
                                          const char* file, u32 line) {
    ORV_ASSERT(size > 0);
    u64 allocationLength = static_cast<u64>(m_preMarginSize) + size + m_postMarginSize;
    ORV_ASSERT(allocationLength < MAX_SINGLE_ALLOCATION_LENGTH);
    u8* block = static_cast<u8*>(::operator new(static_cast<size_t>(allocationLength)));
    std::memset(block, kMarginByte, static_cast<size_t>(allocationLength));
    u8* user = block + m_preMarginSize;
    AllocInfo info{
        static_cast<u32>(size), static_cast<u32>(arrayLength), className, file, line, cachedNowMs(), 0};
    // Unreachable below the single-allocation limit; kept as the last word on
    // what the 32-bit fields of the record can hold.
    ORV_CHECK(size < (u32)-1, " size=" << size << " ");
    ORV_CHECK(arrayLength < (u32)-1, " arrayLength=" << arrayLength << " ");
    addBytes(static_cast<i64>(allocationLength));
    Shard& shard = shardOf(user);
    MutexGuard guard(shard.mutex);
    shard.allocations[user] = info;
    return user;
}

void MemShield::verifyPtr(void* ptr, const char* file, u32 line) {
    {
        Shard& shard = shardOf(ptr);
        MutexGuard guard(shard.mutex);
        if (shard.allocations.find(ptr) != shard.allocations.end())
            return;
    }
    LOG(LogError) << "trying to access (verifyPtr) un-allocated memory"
                  << " file=" << file << " "
                  << " line=" << line << " "
                  << " mem=" << std::hex << reinterpret_cast<uintptr_t>(ptr) << std::dec << " " << std::endl;
    memshieldError();
}

void MemShield::freeAndUnregister(void* ptr, const char* file, u32 line) {
    std::string report;
    {
        Shard& shard = shardOf(ptr);
        MutexGuard guard(shard.mutex);
        AllocMap::iterator it = shard.allocations.find(ptr);
        if (it != shard.allocations.end()) {
            u8* user = static_cast<u8*>(ptr);
            const u8* margin = user + it->second.m_size;
            // Eight bytes at a time: the release of every block reads its
            // whole margin.
            bool corrupted = false;
            u32 offset = 0;
            for (; offset + 8 <= m_postMarginSize && !corrupted; offset += 8) {
                u64 word;
                std::memcpy(&word, margin + offset, 8);
                corrupted = word != ~0ull;
            }
            for (; offset < m_postMarginSize && !corrupted; ++offset)
                corrupted = margin[offset] != kMarginByte;
            if (!corrupted) {
                std::memset(user, kMarginByte, it->second.m_size);
                it->second.m_freeTime = cachedNowMs();
                if (m_historyLengthMs != 0) {
                    shard.recentlyFreed[ptr] = it->second;
                } else {
                    ::operator delete(user - m_preMarginSize);
                    addBytes(-(static_cast<i64>(it->second.m_size) + m_preMarginSize + m_postMarginSize));
                }
                shard.allocations.erase(it);
                return;
            }
            std::ostringstream list;
            for (u32 i = 0; i < m_postMarginSize; ++i)
                if (margin[i] != kMarginByte)
                    list << i << "->" << static_cast<u32>(margin[i]) << ",";
            std::ostringstream text;
            text << "memory corruption ("
                 << "post"
                 << ") : " << reinterpret_cast<uintptr_t>(ptr) << " " << it->second.m_file << " "
                 << it->second.m_line << "!"
                 << " [" << list.str() << "]"
                 << " it->second.m_allocTime=" << it->second.m_allocTime << " "
                 << " it->second.m_freeTime=" << it->second.m_freeTime << " "
                 << " it->second.m_class=" << it->second.m_class << " ";
            report = text.str();
        }
    }
    if (report.empty()) {
        LOG(LogError) << "trying to free un-allocated memory"
                      << " file=" << file << " "
                      << " line=" << line << " " << std::endl;
    } else {
        LOG(LogError) << "memory overrun (during free)!" << report << std::endl;
        LOG(LogError) << "freed at"
                      << " file=" << file << " "
                      << " line=" << line << " " << std::endl;
    }
    memshieldError();
}

void MemShield::memshieldError() {
    printAllocations();
    printRecentlyFreed();
    ORV_ASSERT(false);
    Os::failFast();
}

size_t MemShield::liveAllocations() {
    size_t count = 0;
    for (Shard& shard : m_shards) {
        MutexGuard guard(shard.mutex);
        count += shard.allocations.size();
    }
    return count;
}

std::vector<std::pair<void*, AllocInfo>> MemShield::snapshot(AllocMap Shard::*map) {
    std::vector<std::pair<void*, AllocInfo>> entries;
    for (Shard& shard : m_shards) {
        MutexGuard guard(shard.mutex);
        entries.insert(entries.end(), (shard.*map).begin(), (shard.*map).end());
    }
    std::sort(entries.begin(), entries.end(),
              [](const std::pair<void*, AllocInfo>& a, const std::pair<void*, AllocInfo>& b) {
                  return std::less<void*>()(a.first, b.first);
              });
    return entries;
}

void MemShield::memShieldDumpLocked() {
    std::vector<std::pair<void*, AllocInfo>> live = snapshot(&Shard::allocations);
    LOG(LogInfo) << "dumpalloc:" << std::endl;
    for (const auto& entry : live)
        LOG(LogInfo) << " it->second.m_class=" << entry.second.m_class << " "
                     << " it->second.m_file=" << entry.second.m_file << " "
                     << " it->second.m_line=" << entry.second.m_line << " "
                     << " it->second.m_size=" << entry.second.m_size << " "
                     << " it->second.m_arrayLength=" << entry.second.m_arrayLength << " " << std::endl;
}

void MemShield::printAllocations() {
    Tweaks* tweaks = Tweaks::instance();
    bool verbose = tweaks->longVal("t_MemShieldVerbose", 0) != 0;
    u64 maxAllocationInCodeLine = tweaks->uintVal("t_MemShieldMaxAllocationInCodeLine", 700000u);
    if (verbose)
        memShieldDumpLocked();

    struct Group {
        u64 count = 0;
        u64 bytes = 0;
    };
    std::map<std::pair<std::string, u32>, Group> groups;
    u64 total = 0;
    for (Shard& shard : m_shards) {
        MutexGuard guard(shard.mutex);
        for (const auto& entry : shard.allocations) {
            Group& g = groups[std::make_pair(std::string(entry.second.m_file), entry.second.m_line)];
            ++g.count;
            g.bytes += entry.second.m_size;
            total += entry.second.m_size;
        }
    }
    LOG(LogInfo) << "Allocated from system heap: " << allocatedBytes() << std::endl;
    LOG(LogInfo) << "Total memory allocation: " << total << std::endl;
    u64 maxAllocationsFound = 0;
    for (const auto& entry : groups) {
        LOG(LogInfo) << "allocation " << entry.first.first << " " << entry.first.second << " -> "
                     << entry.second.count << " allocations " << entry.second.bytes << " bytes" << std::endl;
        if (entry.second.count > maxAllocationsFound)
            maxAllocationsFound = entry.second.count;
    }
    ORV_CHECK_AS(maxAllocationsFound <= maxAllocationInCodeLine, "false",
                 "Too many allocations from as single log line. "
                     << " maxAllocationInCodeLine=" << maxAllocationInCodeLine << " "
                     << " maxAllocationsFound=" << maxAllocationsFound << " ");
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    MemShieldReports::printAll();
}

void MemShield::printRecentlyFreed() {
    std::vector<std::pair<void*, AllocInfo>> freed = snapshot(&Shard::recentlyFreed);
    LOG(LogInfo) << " Timer::instance()->getLastTimestampMs_Inaccurate(true)="
                 << Timer::instance()->getLastTimestampMs_Inaccurate(true) << " " << std::endl;
    for (const auto& entry : freed)
        LOG(LogInfo) << "Freed item mem =" << entry.first << " info="
                     << " info.m_size=" << entry.second.m_size << " "
                     << " info.m_file=" << entry.second.m_file << " "
                     << " info.m_line=" << entry.second.m_line << " "
                     << " it->second.m_freeTime=" << entry.second.m_freeTime << " "
                     << " it->second.m_allocTime=" << entry.second.m_allocTime << " "
                     << " it->second.m_class=" << entry.second.m_class << " " << std::endl;
}
