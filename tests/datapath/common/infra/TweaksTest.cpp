#include "Tweaks.h"
#include "DynamicTweaks.h"
#include "InfraTest.h"

static void applyText(Tweaks& store, const std::string& text) {
    std::istringstream in(text);
    store.update(in, false);
}

static void nameTheBadTweak(const std::string& reason) {
    std::fprintf(stderr, "handler: %s\n", reason.c_str());
}

TEST(TweakValue, GrammarOfNumbersWordsAndQuotedText) {
    const char* rows[][2] = {{"0x1F", "31"},   {"12abc", "12"},
                             {"\"on\"", "1"},  {"\"12\"", "\"12\""},
                             {"\"\"", "\"\""}, {"99999999999999999999", "9223372036854775807"}};
    for (auto& row : rows)
        EXPECT_EQ(row[1], Tweak::fromText(row[0]).textForm()) << row[0];
    EXPECT_FALSE(Tweak::fromText("\"12\"").isNumeric);
    for (const char* text : {"\"abc", "abc", "0x"})
        EXPECT_FAILFAST(Tweak::fromText(text), "Assertion .* failed") << text;
}

TEST(TweakLines, SplitsNameValueAndCommentAndSkipsLinesWithoutEquals) {
    std::istringstream in("  t_X = 0x1F ; a comment \r\n\n   \t\n; only a comment\n"
                          "t_Y=\"a b\"\nno equals\nt_Z =\n t_E = a=b ;\n");
    std::string entries;
    for (const TweakEntry& entry : Tweaks::getTweaksFromStream(in, false))
        entries += entry.name + "|" + entry.value + "|" + entry.comment + "\n";
    EXPECT_EQ("t_X|0x1F|a comment\nt_Y|\"a b\"|\nt_Z||\nt_E|a=b|\n", entries);
}

struct TweakStore : ::testing::Test {
    static void writeBase(const std::string& content) {
        TempWorkingDir::writeConsistentCopy("jex_tweaks/tweaks.txt", 0, 1, content);
    }
    TempWorkingDir m_dir;
    Tweaks m_store{Tweaks::Source::Nothing};
};

TEST_F(TweakStore, UpdateIgnoresCaseReturnsThePreviousValueAndEmptyDeletes) {
    EXPECT_EQ("", m_store.update("t_A", "5"));
    EXPECT_EQ("5", m_store.update("T_a", "\"s\""));
    EXPECT_EQ("\"s\"", m_store.update("t_A", ""));
    EXPECT_EQ(9, m_store.longVal("t_A", 9));

    applyText(m_store, "t_B=3\n");
    EXPECT_TRUE(m_store.boolVal("T_b"));
    applyText(m_store, "t_B=\n");
    EXPECT_EQ(-1, m_store.longVal("t_B", -1));

    EXPECT_TRUE(m_store.setDefaultValIfNotSet("t_C", "1"));
    EXPECT_FALSE(m_store.setDefaultValIfNotSet("T_C", "2"));
    EXPECT_EQ(1, m_store.longVal("t_c"));

    // 'Z' < '_' < 'z': the order must compare lowered letters.
    EXPECT_TRUE(CaseInsensitiveLess()("t__", "t_Z"));
    EXPECT_FALSE(CaseInsensitiveLess()("t_X", "T_x"));
}

TEST_F(TweakStore, NameDefinedTwiceInOneStreamIsAppliedFromNeitherLine) {
    applyText(m_store, "t_A=7\n");
    ::testing::internal::CaptureStdout();
    applyText(m_store, "t_A=1\nt_B=1\nt_A=2\n");
    EXPECT_EQ("multiple definition for tweak \"t_A\"\nmultiple definition for tweak \"t_A\"\n",
              ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(7, m_store.longVal("t_A"));
    EXPECT_EQ(1, m_store.longVal("t_B"));
}

TEST_F(TweakStore, TypedGettersCheckTheirRangeAndNameABadTweakToTheFailureHandlerFirst) {
    applyText(m_store, "t_max=2147483647\nt_min=-2147483647\nt_over=2147483648\n"
                       "t_umax=4294967295\nt_neg=-1\nt_s=\"abc\"\n");
    EXPECT_EQ(2147483647, m_store.intVal("t_max"));
    EXPECT_EQ(-2147483647, m_store.intVal("t_min"));
    EXPECT_EQ(4294967295u, m_store.uintVal("t_umax"));
    const std::tuple<std::function<void()>, std::string, std::string> rows[] = {
        {[&] { m_store.intVal("t_over"); }, "t_over\" is 2147483648, outside the signed 32-bit",
         "ival <= ..u32.-1. / 2"},
        {[&] { m_store.uintVal("t_neg"); }, "t_neg\" is -1, outside the unsigned 32-bit", "ival >= 0"},
        {[&] { m_store.longVal("t_none"); }, "t_none\" not found", "tweak \"t_none\" not found"},
        {[&] { m_store.longVal("t_s", 1); }, "t_s\" is not a number", "value is not int"},
        {[&] { m_store.update("t_x", "maybe"); },
         "t_x\": the value maybe is neither a number nor a boolean word", "failed"}};
    for (const auto& [read, handler, assertion] : rows) {
        SCOPED_TRACE(handler);
        EXPECT_FAILFAST((Tweaks::setFailureHandler(nameTheBadTweak), read()), "handler: tweak \"" + handler,
                        assertion);
    }
}

TEST_F(TweakStore, LaterFilesOverrideEarlierOnesAndALongLineStopsOnlyItsOwnFile) {
    writeBase("t_A=1\nt_B=1\nt_C=1\nt_D=1\n");
    TempWorkingDir::writeFile("tweaks_extension.txt", "t_B=2\nt_C=2\nt_D=2\nno equals\nt_E=2\n" +
                                                          std::string(511, 'x') + "\nt_F=2\n");
    TempWorkingDir::writeFile("test_appdatatweaks_extension_upgrade_surviving.txt", "t_C=3\nt_D=3\n");
    TempWorkingDir::writeFile("test_appdata/tweaks_extension_upgrade_surviving.txt", "t_D=4\n");
    Tweaks store(Tweaks::Source::WorkingDirectory);
    std::string seen;
    for (const char* name : {"t_A", "t_B", "t_C", "t_D", "t_E", "t_F"})
        seen += std::to_string(store.longVal(name, 0)) + " ";
    EXPECT_EQ("1 2 3 4 2 0 ", seen);
    const std::vector<std::string> read = store.filesRead();
    ASSERT_EQ(4u, read.size());
    EXPECT_EQ("tweaks_extension.txt", read[1]);
}

TEST_F(TweakStore, FlawsInTheBaseSetOrALateUpdateEndTheProcess) {
    Tweaks initialized(Tweaks::Source::WorkingDirectory); // with no files at all
    TempWorkingDir::writeFile("late.txt", "t_A=1\n");
    EXPECT_FAILFAST(initialized.updateFromFile("late.txt"),
                    "Trying to update non-periodically after initialization");

    writeBase("t_A=1\nno equals\n");
    EXPECT_FAILFAST((Tweaks::setFailureHandler(nameTheBadTweak), Tweaks(Tweaks::Source::WorkingDirectory)),
                    "handler: base tweak file .*: a line without \"=\"", "Assertion .false. failed");
    writeBase("t_A=1\nt_A=2\n");
    EXPECT_FAILFAST(Tweaks(Tweaks::Source::WorkingDirectory), "Assertion .!strict. failed");
}

TEST(ProcessTweaks, UpdatesFeedDynamicTweaksWhateverTheCase) {
    const bool& flag = DynamicTweaks::instance()->t_disableLogMemoryAllocationTracking;
    Tweaks::instance()->update("t_disableLogMemoryAllocationTracking", "on");
    EXPECT_TRUE(flag);
    Tweaks::instance()->update("T_DISABLELOGMEMORYALLOCATIONTRACKING", "");
    EXPECT_FALSE(flag);
}
