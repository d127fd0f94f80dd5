#include "MemShield.h"
#include "InfraTest.h"
#include "MemShieldAO.h"
#include "MemoryPoolImpl.h"
#include "TrackedNew.h"

namespace {
struct Twenty4 {
    u64 a = 1, b = 2, c = 3;
};
// Each base has its own table pointer, so the second one is not at the object's start.
struct BaseA {
    virtual ~BaseA() = default;
};
struct BaseB {
    virtual ~BaseB() = default;
};
struct Both : BaseA, BaseB {
    ~Both() override { ++destroyed; }
    static inline int destroyed = 0;
};

const u32* headerOf(const void* user) {
    return static_cast<const u32*>(user) - 2;
}

} // namespace

TEST(MemShieldCounting, HeaderMarksObjectsAndArraysAndTheCounterComesBack) {
    MemShield* shield = MemShield::instance();
    ASSERT_FALSE(shield->isShieldOn());
    const i64 before = shield->allocatedBytes();
    u64* word = ORV_NEW(u64)(42);
    EXPECT_EQ((std::vector<u32>{16, 0xFFFFFFFF}), (std::vector<u32>{headerOf(word)[0], headerOf(word)[1]}));
    s8* bytes = ORV_NEW_ARRAY(s8, 5);
    EXPECT_EQ((std::vector<u32>{13, 5}), (std::vector<u32>{headerOf(bytes)[0], headerOf(bytes)[1]}));
    BaseB* viaSecondBase = ORV_NEW(Both)();
    const int destroyedBefore = Both::destroyed; // a repeated run counts on
    EXPECT_EQ(before + 16 + 13 + static_cast<i64>(sizeof(Both) + 8), shield->allocatedBytes());
    trackedDelete(word);
    trackedDeleteArray(bytes);
    trackedDelete(viaSecondBase);
    EXPECT_EQ(destroyedBefore + 1, Both::destroyed);
    EXPECT_EQ(before, shield->allocatedBytes());
}

TEST(MemShieldDeathTest, MisuseEndsTheProcessAfterItsRecords) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::tuple<const char*, void (*)(), std::vector<std::string>> rows[] = {
        {"array released as object",
         [] { trackedDelete(ORV_NEW_ARRAY(u64, 2)); },
         {",freeAndCount,Assertion \\(\\*\\(--sanityPtr\\) == std::numeric_limits<u32>::max\\(\\)\\) "
          "failed "}},
        {"byte written past the end",
         [] {
             g_memShieldEnabled = true;
             MemShieldAO::start();
             new MemoryPoolImpl("OverrunPool", 2097152);
             Twenty4* t = ORV_NEW(Twenty4)();
             reinterpret_cast<u8*>(t)[24] = 120;
             trackedDelete(t);
         },
         {",freeAndUnregister,memory overrun \\(during free\\)!.*MemShieldTest\\.cpp \\d+! \\[0->120,\\] .*"
          "m_class=Twenty4 \n",
          ",freed at file=.*MemShieldTest\\.cpp  line=\\d+ \n",
          "allocation .*MemShieldTest\\.cpp \\d+ -> 1 allocations 24 bytes\n",
          ",MemoryHeap,printMemoryUsage,Memory HEAP:  m_usedMemoryGross=0  m_usedMemoryNet=0 \n",
          ",MemoryPoolImpl,printMemoryUsage,Memory POOL:  m_usedMemoryGross=0 .* maxUsed=0 \n",
          ",memshieldError,Assertion \\(false\\) failed "}},
        {"double release",
         [] {
             g_memShieldEnabled = true;
             u64* e = ORV_NEW(u64)(42);
             MemShield::instance()->freeAndUnregister(e, "first.cpp", 1);
             MemShield::instance()->freeAndUnregister(e, "second.cpp", 2);
         },
         {",freeAndUnregister,trying to free un-allocated memory file=second\\.cpp  line=2 \n",
          "Assertion \\(false\\) failed "}},
        {"oversized block",
         [] {
             g_memShieldEnabled = true;
             MemShield::instance()->internalAllocAndRegister(314572800 - 80, 0, "Z", "z.cpp", 1);
         },
         {"Assertion \\(allocationLength < MAX_SINGLE_ALLOCATION_LENGTH\\) failed "}}};
    for (const auto& [name, misuse, expected] : rows) {
        SCOPED_TRACE(name);
        EXPECT_FAILFAST(misuse(), expected);
    }
}
