#include "Tweaks.h"
#include "support/LogCapture.h"
#include "support/StderrLogEcho.h"
#include "support/TempWorkingDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace {
const int kFailFast = 3;

// The value a line "t_X = <text>" stores.
Tweak parsed(const std::string& text) {
    return Tweak::fromText(text);
}

std::vector<TweakEntry> entriesOf(const std::string& text, bool strict = false) {
    std::istringstream in(text);
    return Tweaks::getTweaksFromStream(in, strict);
}

void applyText(Tweaks& store, const std::string& text, bool strict = false) {
    std::istringstream in(text);
    store.update(in, strict);
}
} // namespace

TEST(TweakValue, NumbersReadUpToTheFirstForeignCharacter) {
    EXPECT_EQ(31, parsed("0x1F").number);
    EXPECT_EQ(12, parsed("12abc").number);
    EXPECT_EQ(-5, parsed("-5").number);
    EXPECT_EQ(7, parsed("+7").number);
    EXPECT_EQ(2147483648LL, parsed("2147483648").number);
    EXPECT_EQ(INT64_MAX, parsed("99999999999999999999").number);
    EXPECT_EQ(INT64_MIN, parsed("-99999999999999999999").number);
    EXPECT_EQ("-5", parsed("-5").textForm());
}

TEST(TweakValue, BooleanWordsInAnyCaseQuotedOrNot) {
    for (const char* word : {"true", "YES", "On", "enabled", "ok", "\"on\"", "\"TRUE\""}) {
        Tweak t = parsed(word);
        EXPECT_TRUE(t.isNumeric) << word;
        EXPECT_EQ(1, t.number) << word;
    }
    for (const char* word : {"false", "No", "OFF", "Disabled", "\"off\""}) {
        Tweak t = parsed(word);
        EXPECT_TRUE(t.isNumeric) << word;
        EXPECT_EQ(0, t.number) << word;
    }
}

TEST(TweakValue, QuotedTextIsAString) {
    Tweak abc = parsed("\"abc\"");
    EXPECT_FALSE(abc.isNumeric);
    EXPECT_EQ("abc", abc.text);
    EXPECT_EQ("\"abc\"", abc.textForm());
    Tweak number = parsed("\"12\"");
    EXPECT_FALSE(number.isNumeric);
    EXPECT_EQ("12", number.text);
    Tweak empty = parsed("\"\"");
    EXPECT_FALSE(empty.isNumeric);
    EXPECT_EQ("", empty.text);
    EXPECT_EQ("\"\"", empty.textForm());
}

TEST(TweakValueDeathTest, MalformedValuesEndTheProcess) {
    const char* quoteRule =
        "Assertion \\(val\\.length\\(\\) > 1 && \\(val\\[val\\.length\\(\\) -1\\] == '\"'\\)\\) failed";
    EXPECT_EXIT((echoLogToStderr(), parsed("\"abc")), ::testing::ExitedWithCode(kFailFast), quoteRule);
    EXPECT_EXIT((echoLogToStderr(), parsed("\"")), ::testing::ExitedWithCode(kFailFast), quoteRule);
    for (const char* text : {"abc", "0x", "0xg", "", "- 5"})
        EXPECT_EXIT((echoLogToStderr(), parsed(text)), ::testing::ExitedWithCode(kFailFast),
                    "Assertion \\(false\\) failed")
            << text;
}

TEST(CaseInsensitiveLess, OrdersByLowerCaseAndPrefixFirst) {
    CaseInsensitiveLess less;
    EXPECT_TRUE(less("t_a", "T_B"));
    EXPECT_FALSE(less("t_X", "T_x"));
    EXPECT_FALSE(less("T_x", "t_X"));
    EXPECT_TRUE(less("t_a", "T_AB"));
    // 'Z' < '_' < 'z': the comparison must see the lowered letter.
    EXPECT_FALSE(less("t_Z", "t__"));
    EXPECT_TRUE(less("t__", "t_Z"));
}

TEST(TweakLines, SplitsNameValueAndCommentAndSkipsBlankLines) {
    std::vector<TweakEntry> entries = entriesOf(
        "  t_X = 0x1F ; a comment \r\n\n   \t\n; only a comment\nt_Y=\"a b\"\nt_Z =\n t_E = a=b ;\n");
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ("t_X", entries[0].name);
    EXPECT_EQ("0x1F", entries[0].value);
    EXPECT_EQ("a comment", entries[0].comment);
    EXPECT_EQ("\"a b\"", entries[1].value);
    EXPECT_EQ("t_Z", entries[2].name);
    EXPECT_EQ("", entries[2].value);
    EXPECT_EQ("a=b", entries[3].value);
    EXPECT_EQ("", entries[3].comment);
}

TEST(TweakLines, LineWithoutEqualsIsSkippedUnlessStrict) {
    std::vector<TweakEntry> entries = entriesOf("t_A=1\nno equals here\nt_B=2\n");
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("t_B", entries[1].name);
    EXPECT_EXIT((echoLogToStderr(), entriesOf("t_A=1\nno equals here\n", true)),
                ::testing::ExitedWithCode(kFailFast), "Assertion \\(false\\) failed");
}

TEST(TweakLines, LongLineEndsTheReading) {
    const std::string value510 = std::string(504, '1') + "=12345";
    ASSERT_EQ(510u, value510.size());
    EXPECT_EQ(3u, entriesOf("t_A=1\n" + value510 + "\nt_B=2\n").size());
    std::vector<TweakEntry> entries = entriesOf("t_A=1\n" + value510 + "6\nt_B=2\n");
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("t_A", entries[0].name);
    EXPECT_EQ(1u, entriesOf("t_A=1\nt_L=" + std::string(600, '1') + "\nt_B=2\n").size());
}

TEST(TweakLines, BinaryInputDoesNotHurtTheReader) {
    std::string noise;
    for (int i = 0; i < 4096; ++i)
        noise += static_cast<char>((i * 131) & 0xFF);
    Tweaks store(Tweaks::Source::Nothing);
    for (size_t chunk = 0; chunk + 300 <= noise.size(); chunk += 300) {
        std::string text = noise.substr(chunk, 300);
        // Keep it parseable: only lines whose value could be malformed would end
        // the process, so every '=' is dropped and the lines are skipped.
        for (char& c : text) {
            if (c == '=')
                c = '-';
        }
        applyText(store, text + "\nt_ok=1\n");
    }
    EXPECT_EQ(1, store.longVal("t_ok"));
}

class TweakStore : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    Tweaks m_store{Tweaks::Source::Nothing};
};

TEST_F(TweakStore, UpdateReturnsThePreviousValueAndEmptyDeletes) {
    EXPECT_EQ("", m_store.update("t_A", "5"));
    EXPECT_TRUE(LogCapture::instance().hasMessage("Updating tweak:  name=t_A  val=5  ret= "));
    EXPECT_EQ("5", m_store.update("T_a", "\"s\""));
    EXPECT_EQ("\"s\"", m_store.update("t_A", ""));
    EXPECT_TRUE(LogCapture::instance().hasMessage("Updating tweak:  name=t_A  val=  ret=\"s\" "));
    EXPECT_EQ(9, m_store.longVal("t_A", 9));

    applyText(m_store, "t_B=3\n");
    applyText(m_store, "t_B=\n");
    EXPECT_EQ(-1, m_store.longVal("t_B", -1));
}

TEST_F(TweakStore, DefaultsFillOnlyMissingNames) {
    EXPECT_TRUE(m_store.setDefaultValIfNotSet("t_A", "1"));
    EXPECT_TRUE(LogCapture::instance().hasMessage("default tweak added:  name=t_A  val=1  ret= "));
    EXPECT_FALSE(m_store.setDefaultValIfNotSet("T_A", "2"));
    EXPECT_EQ(1, m_store.longVal("t_a"));
}

TEST_F(TweakStore, LookupIgnoresCase) {
    applyText(m_store, "t_X=1\n");
    EXPECT_EQ(1, m_store.longVal("T_x"));
    EXPECT_TRUE(m_store.boolVal("T_X"));
}

TEST_F(TweakStore, NameDefinedTwiceInOneStreamIsAppliedFromNeitherLine) {
    applyText(m_store, "t_A=7\n");
    ::testing::internal::CaptureStdout();
    applyText(m_store, "t_A=1\nt_B=1\nt_A=2\n");
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ("multiple definition for tweak \"t_A\"\nmultiple definition for tweak \"t_A\"\n", out);
    EXPECT_TRUE(LogCapture::instance().hasMessage("multiple definition for tweak \"t_A\""));
    EXPECT_EQ(7, m_store.longVal("t_A"));
    EXPECT_EQ(1, m_store.longVal("t_B"));

    // Spellings that differ only in case are different lines: the later wins.
    applyText(m_store, "t_C=1\nT_c=2\n");
    EXPECT_EQ(2, m_store.longVal("t_c"));
    // Across streams, the later stream wins.
    applyText(m_store, "t_A=8\n");
    EXPECT_EQ(8, m_store.longVal("t_A"));

    EXPECT_EXIT((echoLogToStderr(), applyText(m_store, "t_D=1\nt_D=1\n", true)),
                ::testing::ExitedWithCode(kFailFast), "Assertion \\(!strict\\) failed");
}

TEST_F(TweakStore, TypedGettersCheckTheirRange) {
    applyText(m_store, "t_max=2147483647\nt_min=-2147483647\nt_over=2147483648\nt_under=-2147483648\n"
                       "t_umax=4294967295\nt_uover=4294967296\nt_neg=-1\nt_s=\"abc\"\n");
    EXPECT_EQ(2147483647, m_store.intVal("t_max"));
    EXPECT_EQ(-2147483647, m_store.intVal("t_min"));
    EXPECT_EQ(4294967295u, m_store.uintVal("t_umax"));
    EXPECT_EQ(2147483648LL, m_store.longVal("t_over"));
    EXPECT_EQ(-3, m_store.intVal("t_missing", -3));
    EXPECT_EQ(62000u, m_store.uintVal("t_missing", 62000));
    EXPECT_TRUE(m_store.boolVal("t_missing", true));
    EXPECT_FALSE(m_store.boolVal("t_missing", false));

    EXPECT_EXIT((echoLogToStderr(), m_store.intVal("t_over")), ::testing::ExitedWithCode(kFailFast),
                "Assertion \\(ival <= \\(\\(u32\\)-1\\) / 2\\) failed");
    EXPECT_EXIT((echoLogToStderr(), m_store.intVal("t_under")), ::testing::ExitedWithCode(kFailFast),
                "Assertion \\(-1 \\* ival <= \\(\\(u32\\)-1\\) / 2\\) failed");
    EXPECT_EXIT((echoLogToStderr(), m_store.uintVal("t_neg")), ::testing::ExitedWithCode(kFailFast),
                "Assertion \\(ival >= 0\\) failed");
    EXPECT_EXIT((echoLogToStderr(), m_store.uintVal("t_uover")), ::testing::ExitedWithCode(kFailFast),
                "Assertion \\(ival <= \\(\\(u32\\)-1\\)\\) failed");
    EXPECT_EXIT((echoLogToStderr(), m_store.longVal("t_none")), ::testing::ExitedWithCode(kFailFast),
                "tweak \"t_none\" not found");
    EXPECT_EXIT((echoLogToStderr(), m_store.longVal("t_s", 1)), ::testing::ExitedWithCode(kFailFast),
                "value is not int");
}

TEST_F(TweakStore, PrintListsTweaksInNameOrder) {
    m_store.print();
    EXPECT_TRUE(LogCapture::instance().hasMessage("tweaks are empty"));
    applyText(m_store, "t_b=2\ns=\"abc\"\nT_A=0x10\n");
    LogCapture::instance().clear();
    m_store.print();
    std::vector<std::string> records = LogCapture::instance().records();
    ASSERT_EQ(3u, records.size());
    EXPECT_NE(std::string::npos, records[0].find(",Control,")) << records[0];
    EXPECT_EQ((std::vector<std::string>{"s=\"abc\"", "T_A=16", "t_b=2"}), LogCapture::instance().messages());
}

class TweakFiles : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    static void writeBase(const std::string& content) {
        TempWorkingDir::writeConsistentCopy("jex_tweaks/tweaks.txt", 0, 1, content);
    }
    TempWorkingDir m_dir;
};

TEST_F(TweakFiles, LaterFilesOverrideEarlierOnes) {
    writeBase("t_A=1\nt_B=1\nt_C=1\nt_D=1\n");
    TempWorkingDir::writeFile("tweaks_extension.txt", "t_B=2\nt_C=2\nt_D=2\nno equals\nt_E=2\n");
    TempWorkingDir::writeFile("test_appdatatweaks_extension_upgrade_surviving.txt", "t_C=3\nt_D=3\n");
    TempWorkingDir::writeFile("test_appdata/tweaks_extension_upgrade_surviving.txt", "t_D=4\n");
    Tweaks store(Tweaks::Source::WorkingDirectory);
    EXPECT_EQ(1, store.longVal("t_A"));
    EXPECT_EQ(2, store.longVal("t_B"));
    EXPECT_EQ(3, store.longVal("t_C"));
    EXPECT_EQ(4, store.longVal("t_D"));
    EXPECT_EQ(2, store.longVal("t_E"));
    EXPECT_FALSE(store.setDefaultValIfNotSet("t_a", "9"));
}

TEST_F(TweakFiles, MissingFilesAreReportedAndSkipped) {
    Tweaks store(Tweaks::Source::WorkingDirectory);
    EXPECT_TRUE(std::filesystem::is_directory("test_appdata"));
    LogCapture& log = LogCapture::instance();
    EXPECT_TRUE(log.hasMessage("File does not exist"));
    EXPECT_TRUE(log.hasMessage("Failed to open tweaks_extension.txtwhile trying to update tweaks from it"));
    EXPECT_TRUE(log.hasMessage("local tweaks file \"tweaks_extension.txt\" not found"));
    EXPECT_TRUE(log.hasMessage("local upgrade-surviving tweaks file "
                               "\"test_appdatatweaks_extension_upgrade_surviving.txt\" not found"));
    EXPECT_TRUE(log.hasMessage("local upgrade-surviving tweaks file "
                               "\"test_appdata\\tweaks_extension_upgrade_surviving.txt\" not found"));
    store.print();
    EXPECT_TRUE(log.hasMessage("tweaks are empty"));
}

TEST_F(TweakFiles, LongLineStopsOnlyItsOwnFile) {
    TempWorkingDir::writeFile("tweaks_extension.txt", "t_A=1\n" + std::string(600, 'x') + "\nt_B=1\n");
    TempWorkingDir::writeFile("test_appdata/tweaks_extension_upgrade_surviving.txt", "t_C=1\n");
    Tweaks store(Tweaks::Source::WorkingDirectory);
    EXPECT_EQ(1, store.longVal("t_A"));
    EXPECT_EQ(0, store.longVal("t_B", 0));
    EXPECT_EQ(1, store.longVal("t_C"));
}

TEST_F(TweakFiles, FlawsInTheBaseSetEndTheProcess) {
    writeBase("t_A=1\nno equals\n");
    EXPECT_EXIT((echoLogToStderr(), Tweaks(Tweaks::Source::WorkingDirectory)),
                ::testing::ExitedWithCode(kFailFast), "Assertion \\(false\\) failed");
    writeBase("t_A=1\nt_A=2\n");
    EXPECT_EXIT((echoLogToStderr(), Tweaks(Tweaks::Source::WorkingDirectory)),
                ::testing::ExitedWithCode(kFailFast), "Assertion \\(!strict\\) failed");
    TempWorkingDir::writeConsistentCopy("jex_tweaks/tweaks.txt", 0, 1, "t_A=1\n", 12345);
    EXPECT_EXIT((echoLogToStderr(), Tweaks(Tweaks::Source::WorkingDirectory)),
                ::testing::ExitedWithCode(kFailFast), "No valid consistent file found");
}

TEST_F(TweakFiles, StreamsAreRefusedAfterLoading) {
    Tweaks store(Tweaks::Source::WorkingDirectory);
    TempWorkingDir::writeFile("late.txt", "t_A=1\n");
    EXPECT_EXIT((echoLogToStderr(), store.updateFromFile("late.txt")), ::testing::ExitedWithCode(kFailFast),
                "isPeriodicUpdate \\|\\| !m_isInitialized failed\\. Trying to update non-periodically after "
                "initialization");
}

// The process's store can be created only once per process, so its checks run
// in a child that reports what it saw.
TEST(ProcessTweaks, LoadsOnFirstUseAndFeedsDynamicTweaks) {
    // Earlier tests may have created the store already (a file logger reads
    // tweaks): the child must be a fresh process, not a fork of this one.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempWorkingDir dir;
    TempWorkingDir::writeFile("tweaks_extension.txt", "t_fromFile=5\n");
    EXPECT_EXIT(
        {
            Tweaks* tweaks = Tweaks::instance();
            DynamicTweaks* dynamic = DynamicTweaks::instance();
            bool before = dynamic->t_disableLogMemoryAllocationTracking;
            tweaks->update("t_disableLogMemoryAllocationTracking", "on");
            bool afterUpdate = dynamic->t_disableLogMemoryAllocationTracking;
            tweaks->update("T_DISABLELOGMEMORYALLOCATIONTRACKING", "");
            bool afterDelete = dynamic->t_disableLogMemoryAllocationTracking;
            std::cerr << "fromFile=" << tweaks->longVal("t_fromFile") << " dynamic=" << before << afterUpdate
                      << afterDelete << std::endl;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "fromFile=5 dynamic=010");
    GTEST_FLAG_SET(death_test_style, style);
}
