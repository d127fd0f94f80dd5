#include "InfraTest.h"
#include "MemoryAllocationHelper.h"
#include "MemoryHeap.h"
#include "MemoryHelperThread.h"
#include "MemoryPoolImpl.h"
#include "RateMonitor.h"
#include "Semaphore.h"
#include "SequentialRequestsManager.h"
#include "TrackedNew.h"
#include "Tweaks.h"

#include <memory>
#include <mutex>

namespace {
const u64 kChunk = 524288; // four chunks to a single allocation
const u64 kSingle = 2097152;

// Records which request completed, with what; "!" marks one completed on
// the test's own thread.
struct Completions {
    struct Observer : FutureObserver<RcStatus> {
        Observer(Completions* log, std::string name) : m_log(log), m_name(std::move(name)) {}
        void onFutureSet(RcStatus value) override {
            {
                std::lock_guard<std::mutex> lock(m_log->m_mutex);
                m_log->m_order.push_back(m_name + "=" + std::to_string(value) +
                                         (Os::currentThreadId() == m_log->m_testThread ? "!" : ""));
            }
            m_log->m_done.post();
        }
        Completions* m_log;
        std::string m_name;
    };

    Future<RcStatus> request(MemoryPoolImpl& pool, ModuleMemoryInformation* mmi, u64 bytes,
                             std::vector<MemorySegment>& segments, const std::string& name, u64 traceId = 0) {
        Future<RcStatus> future = pool.allocate(mmi, bytes, segments, traceId);
        m_observers.emplace_back(new Observer(this, name));
        future.addObserver(m_observers.back().get());
        return future;
    }
    // What completed since the last call, once `count` requests have.
    std::vector<std::string> take(size_t count) {
        for (size_t i = 0; i < count; ++i)
            EXPECT_TRUE(m_done.waitFor(10000));
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> order;
        order.swap(m_order);
        return order;
    }

    u32 m_testThread = Os::currentThreadId();
    std::mutex m_mutex;
    std::vector<std::string> m_order;
    Semaphore m_done;
    std::vector<std::unique_ptr<Observer>> m_observers;
};

// Keeps the helper thread busy until the gate opens, so that an observer is
// in place before the request it watches can complete.
struct HoldHelperThread : ActiveObject::Action {
    explicit HoldHelperThread(Semaphore* gate) : m_gate(gate) {}
    void execute() override { m_gate->wait(); }
    Semaphore* m_gate;
};
} // namespace

// Two modules of three chunks in a pool of four that starts empty: the first
// request waits for the pool to grow, later ones for releases; the helper
// thread completes them in arrival order and never past a module's limit.
TEST(MemoryPool, WaitersCompleteOnTheHelperThreadInArrivalOrderWithinTheirLimits) {
    LogCapture::instance().clear();
    Completions c;
    std::vector<MemorySegment> a, b, a1, b1, b2, refused;
    {
        MemoryPoolImpl pool("PoolTest", kSingle, 0, kChunk);
        ModuleMemoryInformation* A = pool.registerModule("A", 3 * kChunk, 0);
        ModuleMemoryInformation* B = pool.registerModule("B", 3 * kChunk, 0);
        ASSERT_TRUE(A != nullptr && B != nullptr);
        EXPECT_EQ(nullptr, pool.registerModule("B", kChunk, 0));

        Semaphore gate;
        MemoryHelperThread::instance()->enqueue(ORV_NEW(HoldHelperThread)(&gate));
        c.request(pool, A, 2 * kChunk, a, "a");
        gate.post();
        EXPECT_EQ((std::vector<std::string>{"a=0"}), c.take(1));         // after growing
        EXPECT_TRUE(c.request(pool, B, 2 * kChunk - 1, b, "b").isSet()); // two chunks left: at once
        EXPECT_EQ((std::vector<std::string>{"b=0!"}), c.take(1));
        EXPECT_EQ(RC_ERROR, pool.allocate(A, 4 * kChunk, refused).get()); // beyond its limit

        c.request(pool, B, kChunk, b1, "b1", 11);
        c.request(pool, A, 100, a1, "a1", 12);
        c.request(pool, B, kChunk, b2, "b2", 13); // would take B past its limit
        Tweaks::instance()->update("t_JexWaitTimeAfterMemAllocRequestInfoThresholdSec", "0");
        pool.monitorPendingMemoryAllocations();
        Tweaks::instance()->update("t_JexWaitTimeAfterMemAllocRequestInfoThresholdSec", "60");
        EXPECT_TRUE(logged("Memory allocation pending time reaches threshold of 0 sec for clients: "
                           "(clientTraceId,name,requestedBytes,pendingTime) (11,B,524288,"));
        EXPECT_TRUE(logged(") (12,A,100,"));
        EXPECT_FALSE(logged("threshold of 1800 sec"));

        pool.freeSegments(a, 0);
        EXPECT_EQ((std::vector<std::string>{"b1=0", "a1=0"}), c.take(2));
        EXPECT_EQ(3 * kChunk, B->getCurrentlyUsedBytes());
        EXPECT_EQ(100u, a1.at(0).getSizeBytes());
        pool.printMemoryUsage();
        EXPECT_TRUE(LogCapture::instance().hasMessage(
            "Memory POOL:  m_usedMemoryGross=2097152  m_usedMemoryNet=1572963 A: free=0  reserved=0  "
            "limit=1572864  used=524288  pending=0  NAs=2 B: free=0  reserved=0  limit=1572864  used=1572864 "
            " "
            "pending=1  NAs=2 subMemPools: totalFree=0  totalUsed=0  totalFrag=0  maxFree=0  maxUsed=0 "));

        pool.freeSegment(b1[0]);
        EXPECT_EQ((std::vector<std::string>{"b2=0"}), c.take(1));
        EXPECT_EQ(3 * kChunk, B->getCurrentlyUsedBytes());
        for (std::vector<MemorySegment>* s : {&b, &a1, &b2})
            pool.freeSegments(*s, 0);
    }
}

// A reservation is its module's even while others wait; a sub-pool's single
// allocation counts against its parent, which reports it.
TEST(MemoryPool, ReservationsAndSubPoolsShareTheCapacity) {
    LogCapture::instance().clear();
    Completions c;
    std::vector<MemorySegment> r, x, waiting;
    {
        MemoryPoolImpl parent("PoolParent", 2 * kSingle, kSingle, kChunk);
        ModuleMemoryInformation* R = parent.registerModule("R", 4 * kChunk, 2 * kChunk);
        ModuleMemoryInformation* C = parent.registerModule("C", 4 * kChunk, 0);
        EXPECT_EQ(nullptr,
                  parent.registerModule("Big", 8 * kChunk, 7 * kChunk)); // reservations beyond capacity
        {
            MemoryPoolImpl child("PoolChild", kSingle, kSingle, kChunk, &parent); // the parent is now full
            ModuleMemoryInformation* X = child.registerModule("X", kSingle, 0);
            EXPECT_TRUE(child.allocate(X, kChunk, x).isSet());

            Future<RcStatus> pending = c.request(parent, C, 3 * kChunk, waiting, "c"); // two chunks are R's
            EXPECT_TRUE(parent.allocate(R, 2 * kChunk, r).isSet()); // its own, past the waiter
            parent.printMemoryUsage();
            EXPECT_TRUE(logged("R: free=1048576  reserved=1048576  limit=2097152  used=1048576  pending=0  "
                               "NAs=0 subMemPools: totalFree=1572864  totalUsed=524288  "
                               "totalFrag=1572864  maxFree=1572864  maxUsed=524288 "));
            parent.freeSegments(r, 0);
            EXPECT_FALSE(pending.isSet()); // the freed chunks are R's again, and the parent is full
            child.freeSegments(x, 0);
        }
        // The sub-pool's single allocation went back: the next release lets the parent grow.
        std::vector<MemorySegment> once;
        parent.allocate(R, 1, once);
        parent.freeSegments(once, 0);
        EXPECT_EQ((std::vector<std::string>{"c=0"}), c.take(1));
        parent.freeSegments(waiting, 0);
    }
}

namespace {
struct TwoModules {
    TwoModules() {
        manager.registerModule(&a);
        manager.registerModule(&b);
    }
    ModuleMemoryInformation a{"A", 0, 0};
    ModuleMemoryInformation b{"B", 0, 0};
    SequentialRequestsManager manager;
};
const char* const kAssert = ",Assert,\\d+,NON,";
} // namespace

TEST(RuntimeServicesDeathTest, MisuseEndsTheProcessWithItsCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* name;
        void (*misuse)();
        std::string expected;
    } rows[] = {
        {"PoolDestroyedOwningBytes",
         [] {
             MemoryPoolImpl pool("Owning", kSingle, kSingle);
             std::vector<MemorySegment> s;
             pool.allocate(pool.registerModule("A", 4096, 0), 100, s);
         },
         std::string(kAssert) + "MemoryPoolImpl,~MemoryPoolImpl, datapath/common/infra/MemoryPoolImpl\\.cpp "
                                "\\d+: m_totalPollSize == 0 failed\\.  m_totalPollSize=2097152 \n"},
        {"SegmentWithoutOwner",
         [] {
             MemorySegment s;
             MemoryHeap::instance()->freeSegment(s);
         },
         std::string(kAssert) +
             "MemoryHeap,freeSegmentContentLocked, .* mmi != MemorySegment::NoOwner failed"},
        {"OutOfOrder",
         [] {
             TwoModules t;
             t.manager.importRequestReferenceInternal(&t.a);
             t.manager.importRequestReferenceInternal(&t.b);
             t.manager.removeRequestReference(&t.a); // outside a walk: the queue keeps it
             FunctorSequentialHandler none([](SequentialRequest&) { return NextIterationData::Flags(); });
             t.manager.iterateWaiting(none);
         },
         "out of order- current request in WaitingModules  is not the same as the request in "
         "waitingRequestsQueue front key=2  sequentialRequest\\.getKey\\(\\)=1 \n"},
        {"DoubleImport",
         [] {
             TwoModules t;
             t.manager.importRequestReferenceInternal(&t.a);
             t.manager.importRequestReferenceInternal(&t.a);
         },
         "mmi->getIsRequestInWaitingModules\\(\\) == false failed\\. trying to import request ref for mmi "
         "that already has request ref in waiting modules\n"},
        {"WrongModuleRemoval",
         [] {
             TwoModules t;
             t.manager.importRequestReferenceInternal(&t.a);
             t.manager.removeRequestReference(&t.b);
         },
         "waitingModulesIter->second == mmi failed\\. trying to remove request reference of wrong mmi\n"},
        {"PopFromEmptyList", [] { WaitingRequestsQueue("EmptyQueue").popRequest(); },
         "!empty\\(\\) failed\\. trying to remove request from an empty waiting list\n"},
        {"ActiveTasksByTwo",
         [] {
             RateMonitor monitor("Twice");
             MutexGuard guard(monitor.getLock());
             monitor.incActiveTasksLocked(2);
         },
         std::string(kAssert) +
             "RateMonitor,incActiveTasksLocked, .* c == 1 \\|\\| c == -1 failed\\.  c=2 \n"},
        {"HelperToldAnError", [] { MemoryAllocationHelper(nullptr).update(RC_ERROR); },
         "MemoryAllocationHelper,update, .* a_val == RC_ABORTED \\|\\| a_val == RC_TIME_OUT failed\\.  "
         "a_val=1 \n"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FAILFAST(row.misuse(), InOrder({row.expected}));
    }
}
