#include "MemShield.h"
#include "MemShieldAO.h"
#include "MemShieldReports.h"
#include "MemWatchedContainer.h"
#include "MemoryPoolImpl.h"
#include "Os.h"
#include "TrackedNew.h"
#include "Tweaks.h"
#include "support/InOrder.h"
#include "support/LogCapture.h"
#include "support/StderrLogEcho.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

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
} // namespace

TEST(MemShieldCounting, HeaderMarksObjectsAndArraysAndTheCounterComesBack) {
    MemShield* shield = MemShield::instance();
    ASSERT_FALSE(shield->isShieldOn());
    const i64 before = shield->allocatedBytes();

    Eight* eight = ORV_NEW(Eight)();
    EXPECT_EQ(42u, eight->value);
    EXPECT_EQ(16u, headerOf(eight)[0]);
    EXPECT_EQ(0xFFFFFFFFu, headerOf(eight)[1]);
    s8* bytes = ORV_NEW_ARRAY(s8, 5);
    EXPECT_EQ(13u, headerOf(bytes)[0]);
    EXPECT_EQ(5u, headerOf(bytes)[1]);
    int destroyed = 0;
    BaseB* viaSecondBase = ORV_NEW(Both)(&destroyed);
    EXPECT_EQ(before + 16 + 13 + static_cast<i64>(sizeof(Both) + 8), shield->allocatedBytes());

    trackedDelete(eight);
    trackedDeleteArray(bytes);
    trackedDelete(viaSecondBase);
    EXPECT_EQ(1, destroyed);
    EXPECT_EQ(before, shield->allocatedBytes());
}

TEST(MemShieldShield, TwentyFourBytesSitBetweenTheMarginsAndLeaveNoTrace) {
    MemShield* shield = MemShield::instance();
    ASSERT_EQ(16u, shield->preMarginSize());
    ASSERT_EQ(64u, shield->postMarginSize());
    const i64 before = shield->allocatedBytes();
    const size_t live = shield->liveAllocations();

    u8* user = static_cast<u8*>(shield->internalAllocAndRegister(24, 0, "Twenty4", __FILE__, __LINE__));
    const u8* block = user - 16;
    for (int i = 0; i < 104; ++i)
        ASSERT_EQ(0xFF, block[i]) << i;
    EXPECT_EQ(before + 104, shield->allocatedBytes());
    EXPECT_EQ(live + 1, shield->liveAllocations());
    std::memset(user, 0, 24); // all of its own bytes may be written
    shield->verifyPtr(user, __FILE__, __LINE__);
    shield->freeAndUnregister(user, __FILE__, __LINE__);
    EXPECT_EQ(before, shield->allocatedBytes());
    EXPECT_EQ(live, shield->liveAllocations());
}

struct MisuseCase {
    const char* name;
    bool shieldMode;
    std::function<void()> misuse;
    std::vector<std::string> expected; // on standard error, in order
};

void PrintTo(const MisuseCase& c, std::ostream* os) {
    *os << c.name;
}

class MemShieldMisuse : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(MemShieldMisuse, EndsTheProcessAfterItsRecords) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // the child sets the switch before any allocation
    const MisuseCase& c = GetParam();
    EXPECT_EXIT(
        {
            g_memShieldEnabled = c.shieldMode;
            echoLogToStderr();
            c.misuse();
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode), InOrder(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, MemShieldMisuse,
    ::testing::Values(
        MisuseCase{"ArrayReleasedAsObject",
                   false,
                   [] { trackedDelete(ORV_NEW_ARRAY(u64, 2)); },
                   {",Error,\\d+,NON,MemShield,freeAndCount,Assertion \\(\\*\\(--sanityPtr\\) == "
                    "std::numeric_limits<u32>::max\\(\\)\\) failed "}},
        MisuseCase{"ObjectReleasedAsArray",
                   false,
                   [] { trackedDeleteArray(ORV_NEW(Eight)()); },
                   {",MemShield,freeAndCountArray,Assertion \\(\\*\\(--sanityPtr\\) < "
                    "std::numeric_limits<u32>::max\\(\\)\\) failed "}},
        MisuseCase{
            "ByteWrittenPastTheEnd",
            true,
            [] {
                MemShieldAO::start(); // hands the heap and pool reports over
                new MemoryPoolImpl("OverrunPool", 2097152);
                Twenty4* t = ORV_NEW(Twenty4)();
                reinterpret_cast<u8*>(t)[24] = 120;
                trackedDelete(t);
            },
            {",Error,\\d+,NON,MemShield,freeAndUnregister,memory overrun \\(during free\\)!memory "
             "corruption \\(post\\) : \\d+ tests/datapath/common/infra/MemShieldTest\\.cpp \\d+! "
             "\\[0->120,\\] it->second\\.m_allocTime=\\d+  it->second\\.m_freeTime=0  "
             "it->second\\.m_class=Twenty4 \n",
             ",Error,.*,freed at file=tests/datapath/common/infra/MemShieldTest\\.cpp  line=\\d+ \n",
             "allocation tests/datapath/common/infra/MemShieldTest\\.cpp \\d+ -> 1 allocations 24 bytes\n",
             ",JEX,MemoryHeap,printMemoryUsage,Memory HEAP:  m_usedMemoryGross=0  m_usedMemoryNet=0 \n",
             ",MemoryPoolImpl,printMemoryUsage,Memory POOL:  m_usedMemoryGross=0 .* maxUsed=0 \n",
             ",MemShield,memshieldError,Assertion \\(false\\) failed "}},
        MisuseCase{
            "DoubleRelease",
            true,
            [] {
                Eight* e = ORV_NEW(Eight)();
                MemShield::instance()->freeAndUnregister(e, "first.cpp", 1);
                MemShield::instance()->freeAndUnregister(e, "second.cpp", 2);
            },
            {",Error,.*,MemShield,freeAndUnregister,trying to free un-allocated memory file=second\\.cpp  "
             "line=2 \n",
             "Assertion \\(false\\) failed "}},
        MisuseCase{"UnknownPointerVerified",
                   true,
                   [] {
                       static u64 notTracked;
                       MemShield::instance()->verifyPtr(&notTracked, "v.cpp", 9);
                   },
                   {",verifyPtr,trying to access \\(verifyPtr\\) un-allocated memory file=v\\.cpp  line=9  "
                    "mem=[0-9a-f]+ \n",
                    "Assertion \\(false\\) failed "}},
        MisuseCase{"ZeroSizedBlock",
                   true,
                   [] { MemShield::instance()->internalAllocAndRegister(0, 0, "Z", "z.cpp", 1); },
                   {",MemShield,internalAllocAndRegister,Assertion \\(size > 0\\) failed "}},
        MisuseCase{
            "OversizedBlock",
            true,
            [] { MemShield::instance()->internalAllocAndRegister(314572800 - 80, 0, "Z", "z.cpp", 1); },
            {"Assertion \\(allocationLength < MAX_SINGLE_ALLOCATION_LENGTH\\) failed "}}),
    [](const ::testing::TestParamInfo<MisuseCase>& info) { return std::string(info.param.name); });

namespace {
std::string g_printed;
template <int N> void report() {
    g_printed += static_cast<char>('a' + N);
}

// A report handed in twice prints once, in the place of its first handing; a
// full table refuses a new one, still knows the ones it has, and prints them.
bool reportsPrintOnceInAddedOrder() {
    static_assert(MemShieldReports::kMaxReports == 8, "the table below fills it");
    bool added = MemShieldReports::add(&report<0>) && MemShieldReports::add(&report<1>) &&
                 MemShieldReports::add(&report<0>);
    for (MemShieldReports::Report r :
         {&report<2>, &report<3>, &report<4>, &report<5>, &report<6>, &report<7>})
        added = added && MemShieldReports::add(r);
    const bool full = !MemShieldReports::add(&report<8>) && MemShieldReports::add(&report<3>);
    MemShieldReports::printAll();
    return added && full && g_printed == "abcdefgh";
}
} // namespace

// In a child: the registry is process-wide.
TEST(MemShieldReportsDeathTest, PrintOnceInAddedOrder) {
    EXPECT_EXIT(std::_Exit(reportsPrintOnceInAddedOrder() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

// Shield mode through the convention: a polymorphic object released through
// its second base is found, verified and released; nothing stays registered.
TEST(MemShieldShieldDeathTest, ConventionReleasesTheCompleteObject) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_memShieldEnabled = true;
            MemShield* shield = MemShield::instance();
            const size_t live = shield->liveAllocations();
            int destroyed = 0;
            BaseB* viaSecondBase = ORV_NEW(Both)(&destroyed);
            const bool registered = shield->liveAllocations() == live + 1;
            trackedDelete(viaSecondBase);
            std::_Exit(registered && destroyed == 1 && shield->liveAllocations() == live ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

namespace {
// Runs in a shield-mode child: 150 live blocks and 50 kept after release,
// then the container report, whose two registry records must each read as
// one container holding at least those entries.
bool registriesReportWhole() {
    g_memShieldEnabled = true;
    Tweaks::instance()->update("t_allocationHistoryLengthMs", "60000"); // released blocks are kept
    std::vector<Eight*> objects;
    for (int i = 0; i < 200; ++i)
        objects.push_back(ORV_NEW(Eight)());
    for (int i = 0; i < 50; ++i) {
        trackedDelete(objects.back());
        objects.pop_back();
    }
    LogCapture::instance().clear();
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    const u64 perItem = sizeof(std::pair<void* const, AllocInfo>) + 4 * sizeof(void*); // pair + tree node
    const std::pair<const char*, u64> registries[] = {{"MemShiledMap", 150}, {"MemShieldRecentFreed", 50}};
    bool ok = true;
    for (const auto& registry : registries) {
        const std::regex record(std::string("ContainerName = ") + registry.first +
                                " items = (\\d+) memory = (\\d+) \\(max = (\\d+)\\)");
        int found = 0;
        for (const std::string& message : LogCapture::instance().messages()) {
            std::smatch m;
            if (!std::regex_match(message, m, record))
                continue;
            ++found;
            const u64 items = std::stoull(m[1]), memory = std::stoull(m[2]), max = std::stoull(m[3]);
            ok = ok && items >= registry.second && memory == items * perItem && max == memory;
            std::cerr << message << "\n";
        }
        ok = ok && found == 1;
    }
    return ok;
}
} // namespace

TEST(MemShieldShieldDeathTest, ContainerReportShowsEachRegistryWhole) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(registriesReportWhole() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

namespace {
const char* const kActiveObjectStarts[] = {
    ",Info,\\d+,NON,ActiveObject,ActiveObject,AO<MemShieldAO>  m_name=MemShieldAO  m_forceVerbose=0  ",
    ",Info,\\d+,NON,ThreadWrapper,threadCallback,Starting ThreadWrapper of type MemShieldAO internalId=\\d+ "
    "\n",
    ",Info,\\d+,NON,ThreadWrapper,threadCallback,Starting ThreadWrapper of type class DeadLockCheckerManager "
    "internalId=\\d+ \n"};

// The agent's start-up in a shield-mode child: a tracked object before any
// log client, a first client (standard error), another tracked object, a
// second client (the capture), then the start. Both clients must hold the
// start records, the one registered last included.
bool activeObjectStartsIntoEveryLog() {
    g_memShieldEnabled = true;
    trackedDelete(ORV_NEW(Eight)());
    echoLogToStderr();
    trackedDelete(ORV_NEW(Eight)());
    LogCapture::instance().clear();
    MemShieldAO::start();
    std::string captured;
    for (const std::string& record : LogCapture::instance().records())
        captured += record;
    return InOrder({kActiveObjectStarts[0], kActiveObjectStarts[1], kActiveObjectStarts[2]})
        .Matches(captured);
}

// Without any log client the threads still start: the active object's
// keepalive is the one lease the checker watches.
bool activeObjectStartsWithoutALog() {
    g_memShieldEnabled = true;
    MemShieldAO::start();
    LogCapture::instance().clear();
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    return LogCapture::instance().hasMessageContaining("ContainerName = DeadLockCheckers items = 1 ");
}
} // namespace

TEST(MemShieldShieldDeathTest, ActiveObjectStartsWhenAskedIntoEveryLogThenOrWithoutOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(activeObjectStartsIntoEveryLog() ? 0 : 1), ::testing::ExitedWithCode(0),
                InOrder({kActiveObjectStarts[0], kActiveObjectStarts[1], kActiveObjectStarts[2]}));
    EXPECT_EXIT(std::_Exit(activeObjectStartsWithoutALog() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}
