#include "InfraTest.h"
#include "MemoryPoolImpl.h"
#include "SequentialRequestsManager.h"

const u64 kChunk = 524288;
const u64 kSingle = 2097152;

TEST(MemoryPool, AllocatesWithinAModuleLimitAndRefusesBeyondIt) {
    std::vector<MemorySegment> a, refused;
    MemoryPoolImpl pool("PoolTest", kSingle, kSingle, kChunk);
    ModuleMemoryInformation* A = pool.registerModule("A", 3 * kChunk, 0);
    ASSERT_NE(nullptr, A);
    EXPECT_EQ(nullptr, pool.registerModule("A", kChunk, 0));
    Future<RcStatus> granted = pool.allocate(A, 2 * kChunk - 1, a);
    ASSERT_TRUE(granted.isSet());
    EXPECT_EQ(RC_SUCCESS, granted.get());
    EXPECT_EQ(2 * kChunk, A->getCurrentlyUsedBytes());
    EXPECT_EQ(RC_ERROR, pool.allocate(A, 4 * kChunk, refused).get());
    pool.freeSegments(a, 0);
    EXPECT_EQ(0u, A->getCurrentlyUsedBytes());
}

TEST(MemoryPoolDeathTest, PoolDestroyedOwningBytesOrARequestImportedTwiceEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto destroyOwning = [] {
        MemoryPoolImpl pool("Owning", kSingle, kSingle);
        std::vector<MemorySegment> s;
        pool.allocate(pool.registerModule("A", 4096, 0), 100, s);
    };
    EXPECT_FAILFAST(destroyOwning(),
                    ",~MemoryPoolImpl, .*: m_totalPollSize == 0 failed\\.  m_totalPollSize=2097152 \n");
    auto importTwice = [] {
        ModuleMemoryInformation a{"A", 0, 0};
        SequentialRequestsManager manager;
        manager.registerModule(&a);
        manager.importRequestReferenceInternal(&a);
        manager.importRequestReferenceInternal(&a);
    };
    EXPECT_FAILFAST(importTwice(),
                    "mmi->getIsRequestInWaitingModules\\(\\) == false failed\\. trying to import "
                    "request ref for mmi that already has request ref in waiting modules\n");
}
