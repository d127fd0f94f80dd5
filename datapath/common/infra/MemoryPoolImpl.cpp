#include "MemoryPoolImpl.h"

#include "Log.h"
#include "MemoryAllocationHelper.h"
#include "Timer.h"
#include "TrackedNew.h"
#include "Tweaks.h"

#include <algorithm>
#include <sstream>

namespace {
const char* const kInfoThresholdTweak = "t_JexWaitTimeAfterMemAllocRequestInfoThresholdSec";
const char* const kErrorThresholdTweak = "t_JexWaitTimeAfterMemAllocRequestErrorThresholdSec";

// The pools that exist, for the tracking allocator's error report. Never
// destroyed: a report may run while the process ends.
Mutex& livePoolsMutex() {
    static Mutex* m = new Mutex();
    return *m;
}
std::set<MemoryPoolImpl*>& livePools() {
    static std::set<MemoryPoolImpl*>* pools = new std::set<MemoryPoolImpl*>();
    return *pools;
}

void setAll(std::vector<Future<RcStatus>>& futures, RcStatus value) {
    for (Future<RcStatus>& future : futures)
        future.set(value);
}
} // namespace

MemoryPoolImpl::MemoryPoolImpl(const std::string& name, u64 capacityBytes, u64 initialBytes, u32 chunkSize,
                               MemoryPoolImpl* parent)
    : m_chunkSize(chunkSize), m_modules("MemoryPoolModules"), m_subPools("MemoryPoolSubPools"),
      m_maxModules(1000), m_maxPendingRequests(1000), m_memoryWaitingList("memoryWaitingList"),
      m_usedMemoryGross(0), m_usedMemoryNet(0), m_totalPollSize(0), m_capacityBytes(capacityBytes),
      m_subPoolBytes(0), m_reservedTotal(0), m_reservedFree(0), m_usageCounter(0),
      m_freeChunks("MemoryPoolFreeChunks"), m_requestForMoreAllocationHelper(nullptr),
      m_servingHelper(nullptr), m_servingScheduled(false), m_helperRequestsInFlight(0), m_name(name),
      m_parent(parent) {
    ORV_CHECK(m_chunkSize > 0, " m_name=" << m_name << " ");
    static const char* const kTweakDefaults[][2] = {{kInfoThresholdTweak, "60"},
                                                    {kErrorThresholdTweak, "1800"}};
    for (const auto& entry : kTweakDefaults)
        Tweaks::instance()->setDefaultValIfNotSet(entry[0], entry[1]);
    m_metAtOnce.set(RC_SUCCESS);
    m_servingHelper = ORV_NEW(MemoryAllocationHelper)(this);
    {
        MutexGuard guard(m_mutex);
        const u64 single = getSingleAllocationSize();
        while (m_totalPollSize < initialBytes && m_totalPollSize + single <= m_capacityBytes) {
            void* block = nullptr;
            if (allocateRawBlock(single, block).get() != RC_SUCCESS)
                break;
            addSingleAllocationLocked(block, single);
        }
    }
    if (m_parent != nullptr) {
        MutexGuard guard(m_parent->m_subPoolsMutex);
        m_parent->m_subPools.insert(this);
    }
    MutexGuard guard(livePoolsMutex());
    livePools().insert(this);
}

MemoryPoolImpl::~MemoryPoolImpl() {
    {
        MutexGuard guard(livePoolsMutex());
        livePools().erase(this);
    }
    if (m_parent != nullptr) {
        MutexGuard guard(m_parent->m_subPoolsMutex);
        m_parent->m_subPools.erase(this);
    }
    // Requests on the helper thread still refer to the pool. The count is
    // read again after each wake: a set left over from an earlier drain may
    // wake this wait while a later request is still in flight.
    for (;;) {
        {
            MutexGuard guard(m_mutex);
            if (m_helperRequestsInFlight == 0)
                break;
        }
        m_helperRequestsDone.wait();
    }
    std::vector<Future<RcStatus>> aborted;
    {
        MutexGuard guard(m_mutex);
        for (PendingRequest& request : m_memoryWaitingList)
            aborted.push_back(request.future);
        m_memoryWaitingList.clear();
        if (m_usedMemoryGross == 0) {
            for (const RawBlock& raw : m_rawBlocks) {
                releaseRawBlock(raw.block, raw.size);
                m_totalPollSize -= raw.size;
            }
            m_rawBlocks.clear();
            m_freeChunks.clear();
        }
        ORV_CHECK(m_totalPollSize == 0, " m_totalPollSize=" << m_totalPollSize << " ");
    }
    setAll(aborted, RC_ABORTED);
    {
        MutexGuard guard(m_subPoolsMutex);
        ORV_CHECK(m_subPools.empty(), " m_subPools.size()=" << m_subPools.size() << " ");
    }
    for (auto& module : m_modules)
        trackedDelete(module.second);
    trackedDelete(m_servingHelper);
}

ModuleMemoryInformation* MemoryPoolImpl::registerModule(const std::string& name, u64 limitBytes,
                                                        u64 reservedBytes) {
    u64 limit = grossBytes(limitBytes);
    u64 reserved = grossBytes(reservedBytes);
    ModuleMemoryInformation* mmi = ORV_NEW(ModuleMemoryInformation)(name, limit, reserved);
    const char* refusal = nullptr;
    {
        MutexGuard guard(m_mutex);
        if (m_modules.find(name) != m_modules.end())
            refusal = "name taken";
        else if (m_modules.size() >= m_maxModules)
            refusal = "too many modules";
        else if (reserved > limit || m_reservedTotal + reserved > m_capacityBytes)
            refusal = "reservation does not fit";
        if (refusal == nullptr) {
            m_modules[name] = mmi;
            m_sequentialRequests.registerModule(mmi);
            m_reservedTotal += reserved;
            m_reservedFree += reserved;
            return mmi;
        }
    }
    LOG_JEX(LogError) << "module not registered: " << refusal << " name=" << name << " "
                      << " limitBytes=" << limitBytes << " "
                      << " reservedBytes=" << reservedBytes << " " << std::endl;
    trackedDelete(mmi);
    return nullptr;
}

u64 MemoryPoolImpl::availableForLocked(ModuleMemoryInformation* mmi) const {
    u64 freeBytes = m_freeChunks.size() * m_chunkSize;
    u64 othersReserved = m_reservedFree - mmi->getUnusedReservation();
    return freeBytes > othersReserved ? freeBytes - othersReserved : 0;
}

bool MemoryPoolImpl::fitsLocked(ModuleMemoryInformation* mmi, u64 gross) const {
    return mmi->getCurrentlyUsedBytes() + gross <= mmi->getLimitBytes() && availableForLocked(mmi) >= gross;
}

Future<RcStatus> MemoryPoolImpl::allocate(ModuleMemoryInformation* mmi, u64 bytes,
                                          std::vector<MemorySegment>& segments, u64 clientTraceId) {
    const u64 gross = grossBytes(bytes);
    std::optional<Future<RcStatus>> waiting;
    {
        MutexGuard guard(m_mutex);
        if (gross == 0)
            return m_metAtOnce;
        bool refused = gross > mmi->getLimitBytes() || m_memoryWaitingList.size() >= m_maxPendingRequests;
        if (!refused && (m_memoryWaitingList.empty() || withinOwnReservationLocked(mmi, gross)) &&
            fitsLocked(mmi, gross)) {
            takeChunksLocked(mmi, bytes, segments);
            return m_metAtOnce;
        }
        if (!refused) {
            waiting.emplace();
            m_memoryWaitingList.push_back(PendingRequest{mmi, bytes, &segments, *waiting,
                                                         Timer::instance()->getTimestampMs(), clientTraceId});
            mmi->addPendingRequest();
            if (!mmi->getIsRequestInWaitingModules())
                m_sequentialRequests.importRequestReferenceInternal(mmi);
            requestMoreMemoryIfUsefulLocked();
            return *waiting;
        }
    }
    LOG_JEX(LogWarn) << "memory request refused"
                     << " name=" << mmi->getName() << " "
                     << " bytes=" << bytes << " "
                     << " limit=" << mmi->getLimitBytes() << " " << std::endl;
    Future<RcStatus> refusal;
    refusal.set(RC_ERROR);
    return refusal;
}

void MemoryPoolImpl::takeChunksLocked(ModuleMemoryInformation* mmi, u64 bytes,
                                      std::vector<MemorySegment>& segments) {
    bool freeInMmi = mmi->getCurrentlyUsedBytes() + grossBytes(bytes) <= mmi->getLimitBytes();
    ORV_CHECK(freeInMmi == true, "trying to give memory to a full mmi");
    for (u64 left = bytes; left > 0;) {
        ORV_CHECK(!isEmptyLocked(), " m_name=" << m_name << " ");
        if (mmi->getUnusedReservation() > 0) {
            ORV_CHECK(m_reservedFree >= m_chunkSize, " m_reservedFree=" << m_reservedFree << " ");
            m_reservedFree -= m_chunkSize;
        }
        MemorySegment segment;
        segment.m_ptr = m_freeChunks.back();
        segment.m_sizeBytes = std::min<u64>(left, m_chunkSize);
        segment.m_owner = mmi;
        m_freeChunks.pop_back();
        segments.push_back(segment);
        mmi->addUsedBytes(m_chunkSize);
        m_usedMemoryGross += m_chunkSize;
        m_usedMemoryNet += segment.m_sizeBytes;
        left -= segment.m_sizeBytes;
    }
}

void MemoryPoolImpl::freeSegmentLocked(MemorySegment& segment) {
    ModuleMemoryInformation* mmi = segment.getOwner();
    ORV_CHECK(mmi != MemorySegment::NoOwner, "");
    // NOLINTNEXTLINE(modernize-use-nullptr): the condition's text is the assertion's record
    ORV_CHECK(mmi != 0, "");
    ORV_CHECK(!mmi->isHeapMemory(), "");
    const u64 netBytes = segment.getSizeBytes();
    ORV_CHECK(m_usedMemoryGross >= m_chunkSize, " m_usedMemoryGross=" << m_usedMemoryGross << " ");
    ORV_CHECK(m_usedMemoryNet >= netBytes, " m_usedMemoryNet=" << m_usedMemoryNet << " "
                                                               << " netBytes=" << netBytes << " ");
    ORV_CHECK(mmi->getCurrentlyUsedBytes() >= m_chunkSize,
              " mmi->getCurrentlyUsedBytes()=" << mmi->getCurrentlyUsedBytes() << " ");
    m_usedMemoryGross -= m_chunkSize;
    m_usedMemoryNet -= netBytes;
    mmi->removeUsedBytes(m_chunkSize);
    if (mmi->getUnusedReservation() > 0)
        m_reservedFree += m_chunkSize;
    m_freeChunks.push_back(segment.m_ptr);
    segment = MemorySegment();
}

void MemoryPoolImpl::freeSegments(std::vector<MemorySegment>& segments, size_t firstIndex) {
    {
        MutexGuard guard(m_mutex);
        for (size_t i = firstIndex; i < segments.size(); ++i)
            freeSegmentLocked(segments[i]);
        scheduleServingLocked();
    }
    if (firstIndex < segments.size())
        segments.resize(firstIndex);
}

void MemoryPoolImpl::freeSegment(MemorySegment& segment) {
    MutexGuard guard(m_mutex);
    freeSegmentLocked(segment);
    scheduleServingLocked();
}

void MemoryPoolImpl::addUsage(u64 bytes) {
    MutexGuard guard(m_mutex);
    m_usageCounter += static_cast<u32>(bytes);
}

void MemoryPoolImpl::scheduleServingLocked() {
    if (m_memoryWaitingList.empty() || m_servingScheduled)
        return;
    m_servingScheduled = true;
    ++m_helperRequestsInFlight;
    // As if a future had been set: the walk runs on the helper thread.
    m_servingHelper->update(RC_SUCCESS);
}

MemoryPoolImpl::WaitingList::iterator MemoryPoolImpl::oldestRequestLocked(ModuleMemoryInformation* mmi) {
    return std::find_if(m_memoryWaitingList.begin(), m_memoryWaitingList.end(),
                        [mmi](const PendingRequest& request) { return request.mmi == mmi; });
}

void MemoryPoolImpl::giveMemoryToWaiterLocked(std::vector<Future<RcStatus>>& completed) {
    // Run by the walk below, with m_mutex held.
    FunctorSequentialHandler serve([&](SequentialRequest& request) ORV_NO_THREAD_SAFETY_ANALYSIS {
        ModuleMemoryInformation* mmi = request.getMmi();
        NextIterationData::Flags flags;
        ORV_CHECK(getMmiPendingRequestsLocked(mmi) > 0, " mmi->getName()=" << mmi->getName() << " ");
        WaitingList::iterator oldest = oldestRequestLocked(mmi);
        if (!fitsLocked(mmi, grossBytes(oldest->bytes)))
            return flags.set(NextIterationData::MMI_STILL_WAITING);
        takeChunksLocked(mmi, oldest->bytes, *oldest->segments);
        completed.push_back(oldest->future);
        m_memoryWaitingList.erase(oldest);
        mmi->removePendingRequest();
        m_sequentialRequests.removeRequestReference(mmi);
        flags.set(NextIterationData::COMPLETED_REQUEST);
        if (getMmiPendingRequestsLocked(mmi) > 0) {
            m_sequentialRequests.importRequestReferenceInternal(mmi);
            flags.set(NextIterationData::MMI_STILL_WAITING);
        }
        return flags;
    });
    m_sequentialRequests.iterateWaiting(serve);
}

void MemoryPoolImpl::requestMoreMemoryIfUsefulLocked() {
    ModuleMemoryInformation* mmi = m_sequentialRequests.frontWaiter();
    if (mmi == nullptr || m_requestForMoreAllocationHelper != nullptr)
        return;
    const u64 gross = grossBytes(oldestRequestLocked(mmi)->bytes);
    // More chunks do not help a module at its limit, and a walk meets a
    // request that fits already.
    if (mmi->getCurrentlyUsedBytes() + gross > mmi->getLimitBytes() || availableForLocked(mmi) >= gross)
        return;
    const u64 single = getSingleAllocationSize();
    if (m_totalPollSize + m_subPoolBytes + single > m_capacityBytes)
        return;
    // NOLINTNEXTLINE(modernize-use-nullptr): the condition's text is the assertion's record
    ORV_CHECK(m_requestForMoreAllocationHelper == 0, "");
    MemoryAllocationHelper* helper = ORV_NEW(MemoryAllocationHelper)(this);
    m_requestForMoreAllocationHelper = helper;
    ++m_helperRequestsInFlight;
    void* block = nullptr;
    Future<RcStatus> future = allocateRawBlock(single, block);
    helper->setBlock(block, single);
    future.addObserver(helper);
}

void MemoryPoolImpl::completeHelperRequest(MemoryAllocationHelper* helper) {
    const bool moreMemory = helper != m_servingHelper;
    RcStatus moreMemoryResult = RC_SUCCESS;
    std::vector<Future<RcStatus>> completed;
    {
        MutexGuard guard(m_mutex);
        if (moreMemory) {
            // NOLINTNEXTLINE(modernize-use-nullptr): the condition's text is the assertion's record
            ORV_CHECK(m_requestForMoreAllocationHelper != 0, "");
            m_requestForMoreAllocationHelper = nullptr;
            moreMemoryResult = helper->getValue();
            if (moreMemoryResult == RC_SUCCESS)
                addSingleAllocationLocked(helper->getBlock(), helper->getBlockSize());
        } else {
            m_servingScheduled = false;
        }
        giveMemoryToWaiterLocked(completed);
        // After a refusal the next request or release tries again.
        if (moreMemoryResult == RC_SUCCESS)
            requestMoreMemoryIfUsefulLocked();
    }
    if (moreMemoryResult != RC_SUCCESS)
        LOG_JEX(LogWarn) << "request for more memory ended"
                         << " a_val=" << moreMemoryResult << " "
                         << " m_name=" << m_name << " " << std::endl;
    setAll(completed, RC_SUCCESS);
    if (moreMemory)
        trackedDelete(helper);
    // The last touch of the pool: its destructor may go on once the mutex is
    // released, so the trigger is set while it is held.
    MutexGuard guard(m_mutex);
    if (--m_helperRequestsInFlight == 0)
        m_helperRequestsDone.set();
}

void MemoryPoolImpl::addSingleAllocationLocked(void* block, u64 allocationSize) {
    ORV_CHECK(allocationSize % m_chunkSize == 0, " allocationSize=" << allocationSize << " "
                                                                    << " m_chunkSize=" << m_chunkSize << " ");
    m_rawBlocks.push_back(RawBlock{block, allocationSize});
    m_totalPollSize += allocationSize;
    // Highest address first, so that chunks are handed out from the lowest.
    for (u64 offset = allocationSize; offset >= m_chunkSize; offset -= m_chunkSize)
        m_freeChunks.push_back(static_cast<s8*>(block) + offset - m_chunkSize);
}

Future<RcStatus> MemoryPoolImpl::allocateRawBlock(u64 size, void*& block) {
    Future<RcStatus> future;
    block = nullptr;
    if (m_parent != nullptr && !m_parent->chargeSubPoolBytes(size)) {
        future.set(RC_ABORTED);
        return future;
    }
    block = ORV_NEW_ARRAY(s8, static_cast<size_t>(size));
    future.set(RC_SUCCESS);
    return future;
}

void MemoryPoolImpl::releaseRawBlock(void* block, u64 size) {
    trackedDeleteArray(static_cast<s8*>(block));
    if (m_parent != nullptr)
        m_parent->dischargeSubPoolBytes(size);
}

bool MemoryPoolImpl::chargeSubPoolBytes(u64 size) {
    MutexGuard guard(m_mutex);
    if (m_totalPollSize + m_subPoolBytes + size > m_capacityBytes)
        return false;
    m_subPoolBytes += size;
    return true;
}

void MemoryPoolImpl::dischargeSubPoolBytes(u64 size) {
    MutexGuard guard(m_mutex);
    m_subPoolBytes -= size;
}

MemoryPoolImpl::Figures MemoryPoolImpl::figures() {
    MutexGuard guard(m_mutex);
    return Figures{m_capacityBytes - m_usedMemoryGross, m_usedMemoryGross, m_freeChunks.size() * m_chunkSize};
}

void MemoryPoolImpl::printMemoryUsage() {
    Figures total{0, 0, 0};
    u64 maxFree = 0;
    u64 maxUsed = 0;
    {
        MutexGuard guard(m_subPoolsMutex);
        for (MemoryPoolImpl* subPool : m_subPools) {
            Figures f = subPool->figures();
            total.free += f.free;
            total.used += f.used;
            total.frag += f.frag;
            maxFree = std::max(maxFree, f.free);
            maxUsed = std::max(maxUsed, f.used);
        }
    }
    std::ostringstream text;
    {
        MutexGuard guard(m_mutex);
        text << "Memory POOL: "
             << " m_usedMemoryGross=" << m_usedMemoryGross << " "
             << " m_usedMemoryNet=" << m_usedMemoryNet << " ";
        // Run by the walk below, with m_mutex held.
        FunctorSequentialHandler module([&](SequentialRequest& request) ORV_NO_THREAD_SAFETY_ANALYSIS {
            ModuleMemoryInformation* mmi = request.getMmi();
            u64 headroom = mmi->getLimitBytes() - mmi->getCurrentlyUsedBytes();
            text << mmi->getName() << ":"
                 << " free=" << std::min(headroom, availableForLocked(mmi)) << " "
                 << " reserved=" << mmi->getReservedBytes() << " "
                 << " limit=" << mmi->getLimitBytes() << " "
                 << " used=" << mmi->getCurrentlyUsedBytes() << " "
                 << " pending=" << mmi->getPendingRequests() << " "
                 << " NAs=" << mmi->getNotAvailableCount() << " ";
            return NextIterationData::Flags();
        });
        m_sequentialRequests.iterateAll(module);
    }
    text << "subMemPools:"
         << " totalFree=" << total.free << " "
         << " totalUsed=" << total.used << " "
         << " totalFrag=" << total.frag << " "
         << " maxFree=" << maxFree << " "
         << " maxUsed=" << maxUsed << " ";
    LOG_JEX(LogInfo) << text.str() << std::endl;
}

void MemoryPoolImpl::monitorPendingMemoryAllocations() {
    struct Threshold {
        const char* tweak;
        u32 fallbackSec;
        LogLevel level;
    };
    static const Threshold kThresholds[] = {{kInfoThresholdTweak, 60, LogInfo},
                                            {kErrorThresholdTweak, 1800, LogError}};
    const i64 now = Timer::instance()->getTimestampMs();
    for (const Threshold& threshold : kThresholds) {
        const u32 thresholdSec = Tweaks::instance()->uintVal(threshold.tweak, threshold.fallbackSec);
        const i64 thresholdMs = static_cast<i64>(thresholdSec) * 1000;
        std::ostringstream clients;
        bool any = false;
        {
            MutexGuard guard(m_mutex);
            for (const PendingRequest& request : m_memoryWaitingList) {
                i64 pendingMs = now - request.startMs;
                if (pendingMs < thresholdMs)
                    continue;
                clients << " (" << request.clientTraceId << "," << request.mmi->getName() << ","
                        << request.bytes << "," << pendingMs << ")";
                any = true;
            }
        }
        if (any)
            LOG_FULL(LoggerJex, threshold.level, 3)
                << "Memory allocation pending time reaches threshold of " << thresholdSec
                << " sec for clients: (clientTraceId,name,requestedBytes,pendingTime)" << clients.str()
                << std::endl;
    }
}

void MemoryPoolImpl::printLivePools() {
    MutexGuard guard(livePoolsMutex());
    for (MemoryPoolImpl* pool : livePools())
        pool->printMemoryUsage();
}
