#include "MemShield.h"
#include "InfraTest.h"
#include "MemShieldAO.h"
#include "MemShieldReports.h"
#include "MemWatchedContainer.h"
#include "MemoryPoolImpl.h"
#include "TrackedNew.h"
#include "Tweaks.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {
struct Eight {
    u64 value = 42;
};
struct Twenty4 {
    u64 a = 1, b = 2, c = 3;
};
// The release must find the complete object behind a second base.
struct BaseA {
    virtual ~BaseA() = default;
    u64 a = 1;
};
struct BaseB {
    virtual ~BaseB() = default;
    u64 b = 2;
};
struct Both : BaseA, BaseB {
    explicit Both(int* destroyed) : m_destroyed(destroyed) {}
    ~Both() override { ++*m_destroyed; }
    int* m_destroyed;
};

const u32* headerOf(const void* user) {
    return static_cast<const u32*>(user) - 2;
}

// A shield-mode child's verdict: its exit code.
#define EXPECT_IN_SHIELD_MODE(condition, matcher)                                                            \
    EXPECT_EXIT((g_memShieldEnabled = true, std::_Exit((condition) ? 0 : 1)), ::testing::ExitedWithCode(0),  \
                matcher)
} // namespace

TEST(MemShieldCounting, HeaderMarksObjectsAndArraysAndTheCounterComesBack) {
    MemShield* shield = MemShield::instance();
    ASSERT_FALSE(shield->isShieldOn());
    const i64 before = shield->allocatedBytes();
    Eight* eight = ORV_NEW(Eight)();
    EXPECT_EQ(42u, eight->value);
    EXPECT_EQ((std::vector<u32>{16, 0xFFFFFFFF}), (std::vector<u32>{headerOf(eight)[0], headerOf(eight)[1]}));
    s8* bytes = ORV_NEW_ARRAY(s8, 5);
    EXPECT_EQ((std::vector<u32>{13, 5}), (std::vector<u32>{headerOf(bytes)[0], headerOf(bytes)[1]}));
    int destroyed = 0;
    BaseB* viaSecondBase = ORV_NEW(Both)(&destroyed);
    EXPECT_EQ(before + 16 + 13 + static_cast<i64>(sizeof(Both) + 8), shield->allocatedBytes());
    trackedDelete(eight);
    trackedDeleteArray(bytes);
    trackedDelete(viaSecondBase);
    EXPECT_EQ(1, destroyed);
    EXPECT_EQ(before, shield->allocatedBytes());
}

// 24 bytes between a 16-byte and a 64-byte margin: every byte of its own may
// be written, and the release leaves no trace.
TEST(MemShieldShield, ABlockIsCountedWithItsMarginsAndLeavesNoTrace) {
    MemShield* shield = MemShield::instance();
    const i64 before = shield->allocatedBytes();
    const size_t live = shield->liveAllocations();
    void* user = shield->internalAllocAndRegister(24, 0, "Twenty4", __FILE__, __LINE__);
    EXPECT_EQ(before + 104, shield->allocatedBytes());
    EXPECT_EQ(live + 1, shield->liveAllocations());
    std::memset(user, 0, 24);
    shield->verifyPtr(user, __FILE__, __LINE__);
    shield->freeAndUnregister(user, __FILE__, __LINE__);
    EXPECT_EQ(before, shield->allocatedBytes());
    EXPECT_EQ(live, shield->liveAllocations());
}

TEST(MemShieldDeathTest, MisuseEndsTheProcessAfterItsRecords) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // the child sets the switch before any allocation
    const struct {
        const char* name;
        bool shieldMode;
        void (*misuse)();
        std::vector<std::string> expected; // on standard error, in order
    } rows[] = {
        {"array released as object",
         false,
         [] { trackedDelete(ORV_NEW_ARRAY(u64, 2)); },
         {",Error,\\d+,NON,MemShield,freeAndCount,Assertion \\(\\*\\(--sanityPtr\\) == "
          "std::numeric_limits<u32>::max\\(\\)\\) failed "}},
        {"object released as array",
         false,
         [] { trackedDeleteArray(ORV_NEW(Eight)()); },
         {",MemShield,freeAndCountArray,Assertion \\(\\*\\(--sanityPtr\\) < "
          "std::numeric_limits<u32>::max\\(\\)\\) "
          "failed "}},
        {"byte written past the end",
         true,
         [] {
             MemShieldAO::start(); // hands the heap and pool reports over
             new MemoryPoolImpl("OverrunPool", 2097152);
             Twenty4* t = ORV_NEW(Twenty4)();
             reinterpret_cast<u8*>(t)[24] = 120;
             trackedDelete(t);
         },
         {",Error,\\d+,NON,MemShield,freeAndUnregister,memory overrun \\(during free\\)!memory corruption "
          "\\(post\\) "
          ": \\d+ tests/datapath/common/infra/MemShieldTest\\.cpp \\d+! \\[0->120,\\] "
          "it->second\\.m_allocTime=\\d+  it->second\\.m_freeTime=0  it->second\\.m_class=Twenty4 \n",
          ",Error,.*,freed at file=tests/datapath/common/infra/MemShieldTest\\.cpp  line=\\d+ \n",
          "allocation tests/datapath/common/infra/MemShieldTest\\.cpp \\d+ -> 1 allocations 24 bytes\n",
          ",JEX,MemoryHeap,printMemoryUsage,Memory HEAP:  m_usedMemoryGross=0  m_usedMemoryNet=0 \n",
          ",MemoryPoolImpl,printMemoryUsage,Memory POOL:  m_usedMemoryGross=0 .* maxUsed=0 \n",
          ",MemShield,memshieldError,Assertion \\(false\\) failed "}},
        {"double release",
         true,
         [] {
             Eight* e = ORV_NEW(Eight)();
             MemShield::instance()->freeAndUnregister(e, "first.cpp", 1);
             MemShield::instance()->freeAndUnregister(e, "second.cpp", 2);
         },
         {",Error,.*,MemShield,freeAndUnregister,trying to free un-allocated memory file=second\\.cpp  "
          "line=2 \n",
          "Assertion \\(false\\) failed "}},
        {"unknown pointer verified",
         true,
         [] {
             static u64 notTracked;
             MemShield::instance()->verifyPtr(&notTracked, "v.cpp", 9);
         },
         {",verifyPtr,trying to access \\(verifyPtr\\) un-allocated memory file=v\\.cpp  line=9  "
          "mem=[0-9a-f]+ \n",
          "Assertion \\(false\\) failed "}},
        {"zero-sized block",
         true,
         [] { MemShield::instance()->internalAllocAndRegister(0, 0, "Z", "z.cpp", 1); },
         {",MemShield,internalAllocAndRegister,Assertion \\(size > 0\\) failed "}},
        {"oversized block",
         true,
         [] { MemShield::instance()->internalAllocAndRegister(314572800 - 80, 0, "Z", "z.cpp", 1); },
         {"Assertion \\(allocationLength < MAX_SINGLE_ALLOCATION_LENGTH\\) failed "}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EXIT((g_memShieldEnabled = row.shieldMode, echoLogToStderr(), row.misuse()),
                    ::testing::ExitedWithCode(Os::kFailFastExitCode), InOrder(row.expected));
    }
}

namespace {
std::string g_printed;
template <int N> void report() {
    g_printed += static_cast<char>('a' + N);
}

// A report handed in twice prints once, in the place of its first handing; a
// full table refuses a new one, still knows the ones it has, and prints them.
bool reportsPrintOnceInAddedOrder() {
    static_assert(MemShieldReports::kMaxReports == 8, "the table below fills it");
    bool added = true;
    for (MemShieldReports::Report r : {&report<0>, &report<1>, &report<0>, &report<2>, &report<3>, &report<4>,
                                       &report<5>, &report<6>, &report<7>})
        added = added && MemShieldReports::add(r);
    const bool full = !MemShieldReports::add(&report<8>) && MemShieldReports::add(&report<3>);
    MemShieldReports::printAll();
    return added && full && g_printed == "abcdefgh";
}

// 150 live blocks and 50 kept after release, one of them released through
// its second base, then the container report, whose two registry records
// must each read as one container holding at least those entries.
bool registriesReportWhole() {
    Tweaks::instance()->update("t_allocationHistoryLengthMs", "60000"); // released blocks are kept
    int destroyed = 0;
    trackedDelete(static_cast<BaseB*>(ORV_NEW(Both)(&destroyed)));
    std::vector<Eight*> objects;
    for (int i = 0; i < 199; ++i)
        objects.push_back(ORV_NEW(Eight)());
    for (int i = 0; i < 49; ++i, objects.pop_back())
        trackedDelete(objects.back());
    LogCapture::instance().clear();
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    const u64 perItem = sizeof(std::pair<void* const, AllocInfo>) + 4 * sizeof(void*); // pair + tree node
    bool ok = destroyed == 1;
    for (const auto& registry :
         {std::make_pair("MemShiledMap", 150), std::make_pair("MemShieldRecentFreed", 50)}) {
        const std::regex record(std::string("ContainerName = ") + registry.first +
                                " items = (\\d+) memory = (\\d+) \\(max = (\\d+)\\)");
        int found = 0;
        for (const std::string& message : LogCapture::instance().messages()) {
            std::smatch m;
            if (!std::regex_match(message, m, record))
                continue;
            ++found;
            const u64 items = std::stoull(m[1]), memory = std::stoull(m[2]), max = std::stoull(m[3]);
            ok = ok && items >= static_cast<u64>(registry.second) && memory == items * perItem &&
                 max == memory;
            std::cerr << message << "\n";
        }
        ok = ok && found == 1;
    }
    return ok;
}

const std::vector<std::string> kActiveObjectStarts = {
    ",Info,\\d+,NON,ActiveObject,ActiveObject,AO<MemShieldAO>  m_name=MemShieldAO  m_forceVerbose=0  ",
    ",Info,\\d+,NON,ThreadWrapper,threadCallback,Starting ThreadWrapper of type MemShieldAO internalId=\\d+ "
    "\n",
    ",Info,\\d+,NON,ThreadWrapper,threadCallback,Starting ThreadWrapper of type class DeadLockCheckerManager "
    "internalId=\\d+ \n"};

// The agent's start-up: a tracked object before any log client, a first
// client (standard error), another tracked object, a second client (the
// capture), then the start. Both clients must hold the start records, the
// one registered last included.
bool activeObjectStartsIntoEveryLog() {
    trackedDelete(ORV_NEW(Eight)());
    echoLogToStderr();
    trackedDelete(ORV_NEW(Eight)());
    LogCapture::instance().clear();
    MemShieldAO::start();
    std::string captured;
    for (const std::string& record : LogCapture::instance().records())
        captured += record;
    return InOrder(kActiveObjectStarts).Matches(captured);
}

// Without any log client the threads still start: the active object's
// keepalive is the one lease the checker watches.
bool activeObjectStartsWithoutALog() {
    MemShieldAO::start();
    LogCapture::instance().clear();
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    return logged("ContainerName = DeadLockCheckers items = 1 ");
}
} // namespace

TEST(MemShieldDeathTest, ShieldModeReportsRegistriesAndStartUp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The report registry is process-wide, so it too is read in a child.
    EXPECT_EXIT(std::_Exit(reportsPrintOnceInAddedOrder() ? 0 : 1), ::testing::ExitedWithCode(0), "");
    EXPECT_IN_SHIELD_MODE(registriesReportWhole(), "");
    EXPECT_IN_SHIELD_MODE(activeObjectStartsIntoEveryLog(), InOrder(kActiveObjectStarts));
    EXPECT_IN_SHIELD_MODE(activeObjectStartsWithoutALog(), "");
}
