#pragma once
// The tracking allocator behind every heap object of the agent and the
// infrastructure (TrackedNew.h is how code reaches it).
//
// Counting mode (the MemShield switch off): a block is an 8-byte header
// (total size, then 0xFFFFFFFF for a single object or the element count of an
// array) followed by the user bytes, and a process-wide counter follows every
// allocation and release. Shield mode (switch on): a block is registered with
// its class, file, line and times, sits between margins filled with 0xFF, and
// its trailing margin is checked when it is released. Every misuse found ends
// the process after MemShield's records.
//
// Lock rule: nothing is logged while a shard's mutex is held. In shield mode
// the file loggers' record buffers are themselves tracked, so a record written
// under the mutex would come back for it.
//
// The registry of shield mode is split into shards by block address, each
// with its own mutex and maps: with one mutex for the whole process, two
// threads that allocate at once spend far longer handing the lock to each
// other than registering, and shield mode becomes unusable on a busy server.
#include "MemShieldSwitch.h"
#include "Mutex.h"
#include "Singleton.h"
#include "StlMemShiledContainer.h"
#include "Types.h"

#include <atomic>
#include <cstddef>
#include <map>
#include <new>
#include <utility>
#include <vector>

struct AllocInfo {
    u32 m_size;        // user bytes
    u32 m_arrayLength; // element count, 0 for a single object
    const char* m_class;
    const char* m_file;
    u32 m_line;
    u64 m_allocTime; // ms, the timer's cached clock
    u64 m_freeTime;  // ms, set at release
};

class MemShield final : public Singleton<MemShield> {
public:
    static const u64 MAX_SINGLE_ALLOCATION_LENGTH = 314572800;
    static const u32 kSingleObjectMarker = 0xFFFFFFFFu;
    static const u32 kHeaderBytes = 8;

    // Creates MemShield on first use.
    static MemShield* instance() { return Singleton<MemShield>::instance(); }

    // Reads the process-wide switch.
    virtual bool isShieldOn() const { return g_memShieldEnabled; }
    // Releases an array block in the mode it was allocated in.
    virtual void freeArray(void* ptr, const char* file, u32 line);

    // Shield mode: internalAllocAndRegister. Counting mode: a counted block;
    // count 0 marks a single object.
    void* internalAllocAndCountOnlyArray(size_t size, size_t count, const char* label, const char* file,
                                         u32 line) {
        if (isShieldOn())
            return internalAllocAndRegister(size, count, label, file, line);
        return allocCounted(size, count);
    }
    void* internalAllocAndRegister(size_t size, size_t arrayLength, const char* className, const char* file,
                                   u32 line);
    // Counting-mode releases; the marker must match the kind of block.
    void freeAndCount(void* ptr) { freeCounted(ptr, true); }
    void freeAndCountArray(void* ptr) { freeCounted(ptr, false); }
    // Shield mode: a pointer that is not registered ends the process.
    void verifyPtr(void* ptr, const char* file, u32 line);
    void freeAndUnregister(void* ptr, const char* file, u32 line);

    // The error report: allocations, recently freed blocks, then the end.
    [[noreturn]] void memshieldError();
    // Every live allocation, one record each.
    void memShieldDumpLocked();
    void printAllocations();
    void printRecentlyFreed();

    // Bytes taken from the system heap by both modes, headers and margins
    // included.
    i64 allocatedBytes() const;
    u32 preMarginSize() const { return m_preMarginSize; }
    u32 postMarginSize() const { return m_postMarginSize; }
    size_t liveAllocations();

private:
    friend class Singleton<MemShield>;
    MemShield();

    typedef std::map<void*, AllocInfo> AllocMap;
    struct alignas(64) Shard {
        Mutex mutex;
        AllocMap allocations;
        AllocMap recentlyFreed;
    };
    static const u32 kShards = 64;
    // One registry (the same map of every shard) as the container report sees
    // it: a single watched container holding all of the shards' entries. The
    // shards' maps watched one by one would count as 64 containers of one
    // name, and the report's largest container would be a shard.
    class WatchedRegistry final : public MemWatchedContainer {
    public:
        WatchedRegistry(const char* name, Shard* shards, AllocMap Shard::*map);
        ~WatchedRegistry() override;
        // Under each shard's mutex in turn. The report calls it under the
        // database's mutex; nothing holds a shard's mutex while it waits for
        // the database's.
        size_t size() const override;

    private:
        Shard* m_shards;
        AllocMap Shard::*m_map;
    };
    Shard& shardOf(const void* ptr) {
        // Blocks are at least 16-byte aligned; a multiplicative hash spreads
        // the remaining bits over the shards.
        u64 v = static_cast<u64>(reinterpret_cast<uintptr_t>(ptr)) >> 4;
        return m_shards[(v * 0x9E3779B97F4A7C15ull) >> 58];
    }
    // Copies of every shard's entries, ordered by address.
    std::vector<std::pair<void*, AllocInfo>> snapshot(AllocMap Shard::*map);

    void* allocCounted(size_t size, size_t count) {
        if (count >= kSingleObjectMarker || size > kSingleObjectMarker - kHeaderBytes)
            countedSizeFailure(size, count);
        u32 total = static_cast<u32>(size) + kHeaderBytes;
        u32* header = static_cast<u32*>(::operator new(total));
        header[0] = total;
        header[1] = count == 0 ? kSingleObjectMarker : static_cast<u32>(count);
        addBytes(total);
        return header + 2;
    }
    void freeCounted(void* ptr, bool single) {
        u32* sanityPtr = static_cast<u32*>(ptr) - 1;
        if (single ? *sanityPtr != kSingleObjectMarker : *sanityPtr >= kSingleObjectMarker)
            markerFailure(single);
        u32* header = sanityPtr - 1;
        addBytes(-static_cast<i64>(*header));
        ::operator delete(header);
    }
    // The allocated-bytes counter is a set of cells summed when read: each of
    // the first kOwnedCells threads that allocates gets a cell that only it
    // writes (a relaxed load and store, no locked instruction), later threads
    // share one cell with atomic addition. One counter shared by all threads
    // would cost every allocation a locked addition on a contended line.
    static const u32 kOwnedCells = 63;
    struct alignas(64) CounterCell {
        std::atomic<i64> value{0};
    };
    static void addBytes(i64 delta) {
        static thread_local u32 t_cell = 0; // 0: none yet; kOwnedCells + 1: the shared cell
        u32 cell = t_cell;
        if (cell == 0)
            t_cell = cell = claimCell();
        if (cell <= kOwnedCells) {
            std::atomic<i64>& value = s_cells[cell].value;
            value.store(value.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
        } else {
            s_cells[0].value.fetch_add(delta, std::memory_order_relaxed);
        }
    }
    static u32 claimCell();
    static CounterCell s_cells[kOwnedCells + 1]; // [0] is the shared one
    static std::atomic<u32> s_nextCell;

    [[noreturn]] static void countedSizeFailure(size_t size, size_t count);
    [[noreturn]] static void markerFailure(bool single);

    Shard m_shards[kShards];
    WatchedRegistry m_watchedAllocations;
    WatchedRegistry m_watchedRecentlyFreed;
    u32 m_preMarginSize;
    u32 m_postMarginSize;
    u32 m_historyLengthMs;
};
