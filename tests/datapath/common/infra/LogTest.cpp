#include "Log.h"
#include "InfraTest.h"

#include <iomanip>

// Call sites of every kind, outside the anonymous namespace so that their class columns are plain.
namespace logtest {
struct Widget {
    Widget() { LOG(LogInfo) << "ctor" << std::endl; }
    void name() const { LOG(LogInfo) << "member" << std::endl; }
    void withLambda() {
        [](int) { LOG(LogInfo) << "lambda" << std::endl; }(1);
    }
    void operator()(int) { LOG(LogInfo) << "call" << std::endl; }
};
template <class T> struct Box {
    static void make() { LOG(LogInfo) << "template" << std::endl; }
};
} // namespace logtest

static void freeFunctionLogs() {
    LOG(LogInfo) << "free" << std::endl;
}

namespace {
// Takes only Warn, so that dispatch filtering and the flush of levels 0-2 show.
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

std::string lastRecord() {
    std::vector<std::string> r = LogCapture::instance().records();
    return r.empty() ? std::string() : r.back();
}

struct LogTest : ::testing::Test {
    void SetUp() override { LogCapture::instance().clear(); }
};
} // namespace

TEST(MethodColumns, LabelsSplitIntoClassAndFunction) {
    const char* msvc[][2] = {
        {"wmain", ",wmain"},
        {"Tweaks::Tweak::Tweak", "Tweaks::Tweak,Tweak"},
        {"Pool::give::<lambda_1adcabf3fd78881dc8d56c551f4b57fd>::operator ()", "Pool,give::<lambda>"},
        {"fn::<lambda_12>::operator ()", ",fn::<lambda>"},
        {"ab:c", "a,c"}};
    for (auto& row : msvc)
        EXPECT_EQ(row[1], methodColumns(row[0])) << row[0];
    const char* gcc[][2] = {
        {"const char* ns::Foo::baz() const", "ns::Foo::baz"},
        {"ns::Foo::bar()::<lambda(int)>::<lambda()>", "ns::Foo::bar::<lambda>"},
        {"ns::Foo::bar()::<lambda(auto:1)> [with auto:1 = int]", "ns::Foo::bar::<lambda>"},
        {"bool ns::Foo::operator<(const ns::Foo&) const", "ns::Foo::operator<"},
        {"static T ns::Map<T, N>::g() [with T = char; int N = 3]", "ns::Map<char, 3>::g"},
        {"void {anonymous}::anon()", "{anonymous}::anon"},
        {"int main()", "main"}};
    for (auto& row : gcc)
        EXPECT_EQ(row[1], labelFromSignature(row[0])) << row[0];
}

TEST_F(LogTest, RecordLayoutLevelNamesAndIdentities) {
    freeFunctionLogs();
    std::string tail = "," + std::to_string(Os::currentThreadId()) + ",NON,,freeFunctionLogs,free\n";
    std::string rec = lastRecord();
    EXPECT_EQ(tail, rec.substr(rec.size() - std::min(rec.size(), tail.size())));
    LOG(LogInfo7) << "seven" << std::endl;
    EXPECT_NE(std::string::npos, lastRecord().find(",Info,"));
    LOG_JEX(LogWarn) << "jex" << std::endl;
    EXPECT_NE(std::string::npos, lastRecord().find(",Warn,"));
    EXPECT_NE(std::string::npos, lastRecord().find(",JEX,"));
}

#if !defined(_MSC_VER)
TEST_F(LogTest, CallSitesOfEveryKindGiveClassAndFunctionColumns) {
    logtest::Widget w;
    w.name();
    w.withLambda();
    w(1);
    logtest::Box<int>::make();
    std::string columns;
    for (const std::string& r : LogCapture::instance().records()) // the fifth and sixth fields
        columns += std::regex_replace(r, std::regex("^([^,]*,){4}([^,]*,[^,]*),.*\n"), "$2 ");
    EXPECT_EQ("logtest::Widget,Widget logtest::Widget,name logtest::Widget,withLambda::<lambda> "
              "logtest::Widget,operator() logtest::Box<int>,make ",
              columns);
}
#endif

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
    EXPECT_NE(std::string::npos, lastRecord().find("/async,NON,"));
}

TEST_F(LogTest, ConcurrentStatementsStayWhole) {
    onThreads(4, [](int t) {
        for (int i = 0; i < 200; ++i)
            LOG(LogInfo) << "t" << t << " i" << i << " end" << std::endl;
    });
    EXPECT_EQ(800u, recordsMatching(R"(,t\d i\d+ end\n$)"));
}

TEST(LogAssertionDeathTest, CheckFormCopiesItsRecordToStdoutInlineFormDoesNotFifthClientIsRefused) {
    EXPECT_EXIT(
        {
            stdoutToStderr();
            int value = 7;
            ORV_CHECK(value < 4, " value=" << value << " ");
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        R"(,Assert,.+,NON,.*,TestBody, tests/datapath/common/infra/LogTest\.cpp .+: value < 4 failed\.  value=7 )");
    EXPECT_EXIT(
        {
            stdoutToStderr();
            ORV_ASSERT_AS(1 + 1 == 3, "false");
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode), "^$");
    EXPECT_EXIT(
        {
            stdoutToStderr();
            LogCapture::instance();
            warnOnlyClient();
            static WarnOnlyClient extra[3];
            for (WarnOnlyClient& c : extra)
                Logger::instance()->registerClient(&c, kAllLevelsMask);
        },
        ::testing::ExitedWithCode(Os::kFailFastExitCode),
        R"(,Assert,.*,Logger,registerClient, .*Log\.cpp .+: m_clientsCnt < 4 failed\.  m_clientsCnt=4 )");
}
