#include "Log.h"
#include "InfraTest.h"

#include <iomanip>
#ifdef _WIN32
#include <io.h>
#define ORV_DUP2 _dup2
#define ORV_FILENO _fileno
#else
#include <unistd.h>
#define ORV_DUP2 dup2
#define ORV_FILENO fileno
#endif

static void freeFunctionLogs() {
    LOG_JEX(LogWarn) << "free" << std::endl;
}

namespace {
struct WarnOnlyClient : LoggerClient {
    void write(const char*, size_t) override { ++writes; }
    void flush() override { ++flushes; }
    std::atomic<int> writes{0}, flushes{0};
};

WarnOnlyClient& warnOnlyClient() {
    static WarnOnlyClient* client = new WarnOnlyClient();
    static bool registered = (Logger::instance()->registerClient(client, 1u << LogWarn), true);
    (void)registered;
    return *client;
}

struct LogTest : ::testing::Test {
    void SetUp() override { LogCapture::instance().clear(); }
};
} // namespace

TEST(MethodColumns, LabelsSplitIntoClassAndFunction) {
    const char* msvc[][2] = {
        {"wmain", ",wmain"},
        {"Pool::give::<lambda_1adcabf3fd78881dc8d56c551f4b57fd>::operator ()", "Pool,give::<lambda>"},
        {"ab:c", "a,c"}};
    for (auto& row : msvc)
        EXPECT_EQ(row[1], methodColumns(row[0])) << row[0];
    const char* gcc[][2] = {
        {"const char* ns::Foo::baz() const", "ns::Foo::baz"},
        {"ns::Foo::bar()::<lambda(int)>::<lambda()>", "ns::Foo::bar::<lambda>"},
        {"bool ns::Foo::operator<(const ns::Foo&) const", "ns::Foo::operator<"},
        {"static T ns::Map<T, N>::g() [with T = char; int N = 3]", "ns::Map<char, 3>::g"}};
    for (auto& row : gcc)
        EXPECT_EQ(row[1], labelFromSignature(row[0])) << row[0];
}

// Level, thread, identity, class (none for a free function), function, message.
TEST_F(LogTest, RecordColumns) {
    freeFunctionLogs();
    EXPECT_EQ(1u, recordsMatching(",Warn," + std::to_string(Os::currentThreadId()) +
                                  ",JEX,,freeFunctionLogs,free\n$"));
}

TEST_F(LogTest, MaskFiltersDeliveryButErrorsFlushEveryClient) {
    WarnOnlyClient& warnOnly = warnOnlyClient();
    int writes = warnOnly.writes, flushes = warnOnly.flushes;
    LOG(LogInfo) << "info" << std::endl;
    LOG(LogWarn) << "warn" << std::endl;
    EXPECT_EQ(writes + 1, warnOnly.writes);
    EXPECT_EQ(flushes, warnOnly.flushes);
    LOG(LogError) << "error" << std::endl;
    EXPECT_EQ(writes + 1, warnOnly.writes);
    EXPECT_EQ(flushes + 1, warnOnly.flushes);
}

// A thread's statements share one stream: no format state of one may reach the next.
TEST_F(LogTest, StatementsStartWithAFreshFormat) {
    LOG(LogInfo) << std::hex << std::setw(4) << 255 << std::endl;
    LOG(LogInfo) << 255 << ' ' << 1.5 << std::setw(3) << 7 << std::endl;
    EXPECT_EQ((std::vector<std::string>{"00ff", "255 1.5007"}), LogCapture::instance().messages());
}

TEST_F(LogTest, ThreadNamesKeepTheFirstAndAsyncNamesShowInTheThreadColumn) {
    std::thread([] {
        Logger* logger = Logger::instance();
        logger->setThreadName("first");
        logger->setThreadName("second");
        EXPECT_EQ("first", logger->getThreadName(Os::currentThreadId()));
        logger->setAsyncThreadName("async");
        LOG(LogInfo) << "named" << std::endl;
        logger->removeAsyncThreadName();
    }).join();
    EXPECT_EQ(1u, recordsMatching("/async,NON,.*,named\n$"));
}

TEST_F(LogTest, ConcurrentStatementsStayWhole) {
    onThreads(4, [](int t) {
        for (int i = 0; i < 200; ++i)
            LOG(LogInfo) << "t" << t << " i" << i << " end" << std::endl;
    });
    EXPECT_EQ(800u, recordsMatching(R"(,t\d i\d+ end\n$)"));
}

TEST(LogAssertionDeathTest, CheckFormCopiesItsRecordToStdoutAndAFifthClientIsRefused) {
    EXPECT_EXIT(
        {
            std::fflush(stdout); // where the check copies its record: gtest reads standard error
            ORV_DUP2(ORV_FILENO(stderr), ORV_FILENO(stdout));
            int value = 7;
            ORV_CHECK(value < 4, " value=" << value << " ");
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        R"(,Assert,.+,NON,.*,TestBody, tests/datapath/common/infra/LogTest\.cpp .+: value < 4 failed\.  value=7 )");
    auto registerFiveClients = [] { // the log's echo to standard error is the first
        LogCapture::instance();
        warnOnlyClient();
        static WarnOnlyClient extra[2];
        for (WarnOnlyClient& c : extra)
            Logger::instance()->registerClient(&c, kAllLevelsMask);
    };
    EXPECT_FAILFAST(
        registerFiveClients(),
        R"(,Assert,.*,Logger,registerClient, .*Log\.cpp .+: m_clientsCnt < 4 failed\.  m_clientsCnt=4 )");
}
