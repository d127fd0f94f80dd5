#pragma once
// A memory pool: fixed-size chunks handed to registered client modules, with
// per-module accounts, limits and reservations.
//
// Policy
// - Memory. Chunks are cut from single allocations of
//   getSingleAllocationSize() bytes (2 MiB), taken up to the capacity:
//   `initialBytes` at construction, later one at a time, when the module at
//   the front of the waiting list could be served by more chunks and nothing
//   else will do. Such a request for more memory goes through a raw block
//   future and completes on the MemoryHelperThread. Single allocations go
//   back only when the pool is destroyed.
// - Modules. A module never holds more than its limit. Its reservation keeps
//   other modules from the chunks it has not used yet: a module may take a
//   free chunk only while the free chunks outnumber the unused reservations
//   of the others. A reservation takes no memory by itself; reservations
//   together stay within the capacity.
// - Requests. A request of n bytes takes ceil(n / chunk) chunks, one segment
//   each (the last carries the remainder). It is met at once when nobody
//   waits, the module stays within its limit and enough chunks are free for
//   it; while others wait, a request of a module without waiting requests
//   that its unused reservation covers is met at once too (no one else may
//   take those chunks, so no one is overtaken). A request larger than the
//   module's limit, or one beyond m_maxPendingRequests waiting ones, is
//   refused at once with RC_ERROR. Every other request waits.
// - Waiting. Requests wait in "memoryWaitingList", each module's in arrival
//   order; modules take turns through the sequential-requests manager, one
//   reference each: the module at the front gets its oldest request met and,
//   if it still waits, goes to the back. Nobody is served before the front,
//   even while the front waits for its own module's releases: arrival order
//   is strict.
// - Completion. A release that leaves waiters behind posts the serving walk
//   to the MemoryHelperThread; waiting requests complete there, through
//   their Future, never on the thread that released. Futures are set after
//   the pool's lock is released, so their observers may call the pool.
// - Sub-pools. A pool created with a parent is a sub-pool: its single
//   allocations count against the parent's capacity (one the parent cannot
//   afford ends with RC_ABORTED and is tried again on the next request or
//   release), and the parent's usage record adds up its sub-pools' figures.
//   Sub-pools are destroyed before their parent.
// - The two fields initialised to 1000: the most modules the pool registers
//   and the most requests that may wait at once.
//
// Lock order: a parent's sub-pool mutex, a sub-pool's mutex, the parent's
// mutex. Destroying a pool waits for its requests on the helper thread to
// complete, so it must not run on that thread.
#include "Future.h"
#include "MemoryAllocatorInterface.h"
#include "ModuleMemoryInformation.h"
#include "Mutex.h"
#include "RcStatus.h"
#include "SequentialRequestsManager.h"
#include "StlMemShiledContainer.h"
#include "Trigger.h"
#include "Types.h"

#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class MemoryAllocationHelper;

class MemoryPoolImpl : public MemoryAllocatorInterface {
public:
    static const u32 kDefaultChunkSize = 4096;

    MemoryPoolImpl(const std::string& name, u64 capacityBytes, u64 initialBytes = 0,
                   u32 chunkSize = kDefaultChunkSize, MemoryPoolImpl* parent = nullptr);
    // Ends the process while modules still hold memory: the pool cannot give
    // its single allocations back then. Waiting requests end with RC_ABORTED.
    ~MemoryPoolImpl() override;
    MemoryPoolImpl(const MemoryPoolImpl&) = delete;
    MemoryPoolImpl& operator=(const MemoryPoolImpl&) = delete;

    // The module's record, owned by the pool; nullptr (and an Error record)
    // when the name is taken, the module table is full, the reservation is
    // above the limit or does not fit beside the others.
    ModuleMemoryInformation* registerModule(const std::string& name, u64 limitBytes, u64 reservedBytes);

    // Appends the request's segments to `segments` (untouched until the
    // future is set) and returns the request's future. Requests met at once
    // share the pool's one future that is set already: they cost no
    // allocation, and an observer added to it is told at once.
    Future<RcStatus> allocate(ModuleMemoryInformation* mmi, u64 bytes, std::vector<MemorySegment>& segments,
                              u64 clientTraceId = 0);

    void freeSegments(std::vector<MemorySegment>& segments, size_t firstIndex) override;
    void freeSegment(MemorySegment& segment) override;
    void addUsage(u64 bytes) override;
    u32 getChunkSize() const override { return m_chunkSize; }

    u64 getSingleAllocationSize() const { return 2097152; }
    // A single allocation of `size` bytes into `block`; the future is set
    // before it is returned (RC_ABORTED when the parent cannot afford it).
    Future<RcStatus> allocateRawBlock(u64 size, void*& block);
    void releaseRawBlock(void* block, u64 size);

    // One Info record: usage, every module, the sub-pools.
    void printMemoryUsage();
    // Lists the requests that have waited longer than the two thresholds.
    void monitorPendingMemoryAllocations();
    // printMemoryUsage of every pool that exists.
    static void printLivePools();

    // On the MemoryHelperThread, from the helper whose request completed.
    void completeHelperRequest(MemoryAllocationHelper* helper);

private:
    struct PendingRequest {
        ModuleMemoryInformation* mmi;
        u64 bytes;
        std::vector<MemorySegment>* segments;
        Future<RcStatus> future;
        i64 startMs;
        u64 clientTraceId;
    };
    typedef StlMemShiledContainer<std::list<PendingRequest>> WaitingList;
    struct RawBlock {
        void* block;
        u64 size;
    };
    // What a parent reports of a sub-pool.
    struct Figures {
        u64 free; // bytes the sub-pool may still hand out
        u64 used;
        u64 frag; // bytes it holds but has not handed out
    };

    u64 grossBytes(u64 bytes) const { return (bytes + m_chunkSize - 1) / m_chunkSize * m_chunkSize; }
    bool isEmptyLocked() const ORV_REQUIRES(m_mutex) { return m_freeChunks.empty(); }
    u64 getMmiPendingRequestsLocked(ModuleMemoryInformation* mmi) const ORV_REQUIRES(m_mutex) {
        return mmi->getPendingRequests();
    }
    // Free bytes the module may take: the free chunks less the others'
    // unused reservations.
    u64 availableForLocked(ModuleMemoryInformation* mmi) const ORV_REQUIRES(m_mutex);
    bool fitsLocked(ModuleMemoryInformation* mmi, u64 gross) const ORV_REQUIRES(m_mutex);
    bool withinOwnReservationLocked(ModuleMemoryInformation* mmi, u64 gross) const ORV_REQUIRES(m_mutex) {
        return mmi->getPendingRequests() == 0 && gross <= mmi->getUnusedReservation();
    }
    void takeChunksLocked(ModuleMemoryInformation* mmi, u64 bytes, std::vector<MemorySegment>& segments)
        ORV_REQUIRES(m_mutex);
    void freeSegmentLocked(MemorySegment& segment) ORV_REQUIRES(m_mutex);
    // Serves waiting modules from the front; the futures to set are added.
    void giveMemoryToWaiterLocked(std::vector<Future<RcStatus>>& completed) ORV_REQUIRES(m_mutex);
    WaitingList::iterator oldestRequestLocked(ModuleMemoryInformation* mmi) ORV_REQUIRES(m_mutex);
    void scheduleServingLocked() ORV_REQUIRES(m_mutex);
    void requestMoreMemoryIfUsefulLocked() ORV_REQUIRES(m_mutex);
    void addSingleAllocationLocked(void* block, u64 allocationSize) ORV_REQUIRES(m_mutex);
    Figures figures();
    bool chargeSubPoolBytes(u64 size);
    void dischargeSubPoolBytes(u64 size);

    u32 m_chunkSize;
    Mutex m_mutex;         // everything below but the sub-pool set
    Mutex m_subPoolsMutex; // m_subPools
    StlMemShiledContainer<std::map<std::string, ModuleMemoryInformation*>> m_modules; // owned
    StlMemShiledContainer<std::set<MemoryPoolImpl*>> m_subPools ORV_GUARDED_BY(m_subPoolsMutex);
    u32 m_maxModules;
    u32 m_maxPendingRequests;
    WaitingList m_memoryWaitingList;
    SequentialRequestsManager m_sequentialRequests;
    u64 m_usedMemoryGross;
    u64 m_usedMemoryNet;
    u64 m_totalPollSize; // bytes of the single allocations held
    u64 m_capacityBytes;
    u64 m_subPoolBytes; // single allocations of the sub-pools, counted against the capacity
    u64 m_reservedTotal;
    u64 m_reservedFree; // unused reservations of all modules
    u32 m_usageCounter;
    StlMemShiledContainer<std::vector<void*>> m_freeChunks;
    std::vector<RawBlock> m_rawBlocks;
    MemoryAllocationHelper* m_requestForMoreAllocationHelper; // owned while a request for more memory runs
    MemoryAllocationHelper* m_servingHelper;                  // owned
    bool m_servingScheduled;
    u32 m_helperRequestsInFlight;
    Trigger m_helperRequestsDone; // set when the count above falls to 0
    Future<RcStatus> m_metAtOnce;
    std::string m_name;
    MemoryPoolImpl* m_parent;
};
