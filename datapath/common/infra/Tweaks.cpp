#include "Tweaks.h"

#include "ConsistentFile.h"
#include "Directories.h"
#include "DynamicTweaks.h"
#include "Log.h"
#include "NativePath.h"
#include "TextLine.h"

#include <cctype>
#include <charconv>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

namespace {
const char* const kBaseFolder = "jex_tweaks\\";
const char* const kBaseFile = "tweaks.txt";
const char* const kExtensionFile = "tweaks_extension.txt";
const char* const kAppDataFolder = "test_appdata\\";
const char* const kUpgradeSurvivingFile = "tweaks_extension_upgrade_surviving.txt";

Tweaks::FailureHandler s_failureHandler = nullptr;
// The tweak whose value text is being read; only under the store's mutex.
const std::string* s_namingTweak = nullptr;

// Hands the reason to the handler once; the assertion that follows ends the
// process as it always did.
void failing(const std::string& reason) {
    Tweaks::FailureHandler handler = s_failureHandler;
    s_failureHandler = nullptr;
    if (handler != nullptr)
        handler(reason);
}

std::string tweakName() {
    return s_namingTweak != nullptr ? "tweak \"" + *s_namingTweak + "\"" : std::string("a tweak");
}

const i64 kHalfU32 = static_cast<i64>(static_cast<u32>(-1) / 2);
const i64 kMaxU32 = static_cast<i64>(static_cast<u32>(-1));

std::string trim(const std::string& text) {
    static const char* const kBlanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return std::string();
    std::string::size_type last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

char lowerCase(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool equalsIgnoringCase(const std::string& text, const char* word) {
    std::string::size_type i = 0;
    for (; i < text.size() && word[i] != '\0'; ++i) {
        if (lowerCase(text[i]) != word[i])
            return false;
    }
    return i == text.size() && word[i] == '\0';
}

// 1 or 0 for a boolean word, -1 for any other text.
int booleanWord(const std::string& text) {
    static const char* const kTrueWords[] = {"true", "yes", "on", "enabled", "ok"};
    static const char* const kFalseWords[] = {"false", "no", "off", "disabled"};
    for (const char* word : kTrueWords) {
        if (equalsIgnoringCase(text, word))
            return 1;
    }
    for (const char* word : kFalseWords) {
        if (equalsIgnoringCase(text, word))
            return 0;
    }
    return -1;
}

// Reads the number at the start of [first, last); what follows it is ignored.
// False when no digit starts the text. A number beyond the 64-bit range is
// clamped to it rather than rejected: the store holds the nearest value and a
// typed getter's range check still sees that it is out of range.
bool readLeadingNumber(const char* first, const char* last, int base, i64& number) {
    if (base == 10 && last - first > 1 && *first == '+' && std::isdigit(static_cast<unsigned char>(first[1])))
        ++first;
    std::from_chars_result r = std::from_chars(first, last, number, base);
    if (r.ec == std::errc::invalid_argument)
        return false;
    if (r.ec == std::errc::result_out_of_range)
        number = *first == '-' ? std::numeric_limits<i64>::min() : std::numeric_limits<i64>::max();
    return true;
}
} // namespace

Tweak Tweak::fromText(const std::string& valueText) {
    Tweak tweak;
    const std::string& val = valueText;
    if (!val.empty() && val[0] == '"') {
        if (!(val.length() > 1 && (val[val.length() - 1] == '"')))
            failing(tweakName() + ": the value " + val + " lacks its closing quote");
        ORV_ASSERT_AS(val.length() > 1 && (val[val.length() - 1] == '"'),
                      "val.length() > 1 && (val[val.length() -1] == '\"')");
        std::string inner = val.substr(1, val.length() - 2);
        int boolean = booleanWord(inner);
        if (boolean >= 0) {
            tweak.isNumeric = true;
            tweak.number = boolean;
        } else {
            tweak.text = inner;
        }
        return tweak;
    }
    tweak.isNumeric = true;
    int boolean = booleanWord(val);
    if (boolean >= 0) {
        tweak.number = boolean;
        return tweak;
    }
    const char* first = val.data();
    const char* last = first + val.size();
    bool hex = val.size() >= 2 && val[0] == '0' && (val[1] == 'x' || val[1] == 'X');
    bool read = hex ? readLeadingNumber(first + 2, last, 16, tweak.number)
                    : readLeadingNumber(first, last, 10, tweak.number);
    if (!read)
        failing(tweakName() + ": the value " + val + " is neither a number nor a boolean word");
    ORV_ASSERT_AS(read, "false");
    return tweak;
}

std::string Tweak::textForm() const {
    return isNumeric ? std::to_string(number) : "\"" + text + "\"";
}

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    std::string::size_type n = a.size() < b.size() ? a.size() : b.size();
    for (std::string::size_type i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(lowerCase(a[i]));
        unsigned char cb = static_cast<unsigned char>(lowerCase(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

Tweaks::Tweaks() : Tweaks(Source::WorkingDirectory) {
    m_feedsDynamicTweaks = true;
}

Tweaks::Tweaks(Source source) {
    if (source == Source::Nothing)
        return;
    Directories::ensureExists(kAppDataFolder);
    loadFromFiles();
    m_isInitialized = true;
}

void Tweaks::loadFromFiles() {
    std::stringstream base;
    ConsistentFile baseFile(std::string(kBaseFolder) + "\\" + kBaseFile);
    RcStatus status = baseFile.load(base);
    if (status != RC_SUCCESS)
        failing(std::string("base tweak file ") + kBaseFolder + kBaseFile +
                ": no valid consistent file found");
    else
        m_filesRead.push_back(std::string(kBaseFolder) + kBaseFile);
    ORV_CHECK_AS(status == RC_SUCCESS, "false", "Could not load consistent tweak information");
    update(base, true);

    if (!updateFromFile(kExtensionFile))
        LOG(LogInfo) << "local tweaks file \"" << kExtensionFile << "\" not found" << std::endl;

    // The first location lacks the folder's separator: it names a file in the
    // working directory. Both are read, so a file left in either place works.
    const std::string folder = kAppDataFolder;
    const std::string upgradeSurviving[] = {folder.substr(0, folder.size() - 1) + kUpgradeSurvivingFile,
                                            folder + kUpgradeSurvivingFile};
    for (const std::string& path : upgradeSurviving) {
        if (!updateFromFile(path))
            LOG(LogInfo) << "local upgrade-surviving tweaks file \"" << path << "\" not found" << std::endl;
    }
}

std::vector<TweakEntry> Tweaks::getTweaksFromStream(std::istream& stream, bool strict) {
    std::vector<TweakEntry> entries;
    std::string line;
    while (readTextLine(stream, line)) {
        TweakEntry entry;
        std::string content = line;
        std::string::size_type semicolon = line.find(';');
        if (semicolon != std::string::npos) {
            entry.comment = trim(line.substr(semicolon + 1));
            content = line.substr(0, semicolon);
        }
        content = trim(content);
        if (content.empty())
            continue;
        std::string::size_type equals = content.find('=');
        if (equals == std::string::npos) {
            if (strict)
                failing(std::string("base tweak file ") + kBaseFolder + kBaseFile + ": a line without \"=\"");
            ORV_ASSERT_AS(!strict, "false");
            continue;
        }
        entry.name = trim(content.substr(0, equals));
        entry.value = trim(content.substr(equals + 1));
        entries.push_back(entry);
    }
    return entries;
}

void Tweaks::update(std::istream& stream, bool strict) {
    ORV_CHECK_AS(!m_isInitialized, "isPeriodicUpdate || !m_isInitialized",
                 "Trying to update non-periodically after initialization");
    std::vector<TweakEntry> entries = getTweaksFromStream(stream, strict);
    // Names count byte for byte here: t_A and T_a in one file are not
    // duplicates, and the later line wins in the table.
    std::map<std::string, size_t> definitions;
    for (const TweakEntry& entry : entries)
        ++definitions[entry.name];
    for (const TweakEntry& entry : entries) {
        if (definitions[entry.name] == 1) {
            update(entry.name, entry.value);
            continue;
        }
        std::cout << "multiple definition for tweak \"" << entry.name << "\"" << std::endl;
        LOG(LogError) << "multiple definition for tweak \"" << entry.name << "\"" << std::endl;
        if (strict)
            failing("base tweak file: tweak \"" + entry.name + "\" defined more than once");
        ORV_ASSERT_AS(!strict, "!strict");
    }
}

bool Tweaks::updateFromFile(const std::string& path) {
    std::ifstream file(nativePath(path));
    if (!file.is_open()) {
        LOG(LogError) << "Failed to open " << path << "while trying to update tweaks from it" << std::endl;
        return false;
    }
    m_filesRead.push_back(path);
    update(file, false);
    return true;
}

std::string Tweaks::update(const std::string& name, const std::string& valueText) {
    std::string previous;
    {
        MutexGuard guard(m_mutex);
        TweakTable::iterator it = m_tweaks.find(name);
        if (it != m_tweaks.end()) {
            previous = it->second.textForm();
            m_tweaks.erase(it);
        }
        LOG(LogInfo) << "Updating tweak: "
                     << " name=" << name << " "
                     << " val=" << valueText << " "
                     << " ret=" << previous << " " << std::endl;
        s_namingTweak = &name;
        if (!valueText.empty())
            m_tweaks.emplace(name, Tweak::fromText(valueText));
        s_namingTweak = nullptr;
    }
    refreshDynamicTweaks();
    return previous;
}

bool Tweaks::setDefaultValIfNotSet(const std::string& name, const std::string& valueText) {
    {
        MutexGuard guard(m_mutex);
        if (m_tweaks.find(name) != m_tweaks.end())
            return false;
        LOG(LogInfo) << "default tweak added:  name=" << name << " "
                     << " val=" << valueText << " "
                     << " ret="
                     << " " << std::endl;
        s_namingTweak = &name;
        m_tweaks.emplace(name, Tweak::fromText(valueText));
        s_namingTweak = nullptr;
    }
    refreshDynamicTweaks();
    return true;
}

void Tweaks::refreshDynamicTweaks() {
    if (m_isInitialized && m_feedsDynamicTweaks)
        DynamicTweaks::instance()->refresh(*this);
}

i64 Tweaks::longVal(const std::string& name, std::optional<i64> def) {
    MutexGuard guard(m_mutex);
    TweakTable::const_iterator it = m_tweaks.find(name);
    if (it != m_tweaks.end()) {
        if (!it->second.isNumeric) {
            failing("tweak \"" + name + "\" is not a number");
            LOG(LogError) << "value is not int" << std::endl;
            ORV_ASSERT_AS(false, "false");
        }
        return it->second.number;
    }
    if (!def) {
        failing("tweak \"" + name + "\" not found");
        LOG(LogError) << "tweak \"" << name << "\" not found" << std::endl;
        ORV_ASSERT_AS(false, "false");
    }
    return *def;
}

i32 Tweaks::intVal(const std::string& name, std::optional<i32> def) {
    i64 ival = longVal(name, def ? std::optional<i64>(*def) : std::nullopt);
    if (ival > kHalfU32 || ival < -kHalfU32)
        failing("tweak \"" + name + "\" is " + std::to_string(ival) + ", outside the signed 32-bit range");
    ORV_ASSERT_AS(ival <= kHalfU32, "ival <= ((u32)-1) / 2");
    ORV_ASSERT_AS(ival >= -kHalfU32, "-1 * ival <= ((u32)-1) / 2");
    return static_cast<i32>(ival);
}

u32 Tweaks::uintVal(const std::string& name, std::optional<u32> def) {
    i64 ival = longVal(name, def ? std::optional<i64>(*def) : std::nullopt);
    if (ival < 0 || ival > kMaxU32)
        failing("tweak \"" + name + "\" is " + std::to_string(ival) + ", outside the unsigned 32-bit range");
    ORV_ASSERT_AS(ival >= 0, "ival >= 0");
    ORV_ASSERT_AS(ival <= kMaxU32, "ival <= ((u32)-1)");
    return static_cast<u32>(ival);
}

bool Tweaks::boolVal(const std::string& name, std::optional<bool> def) {
    return longVal(name, def ? std::optional<i64>(*def ? 1 : 0) : std::nullopt) != 0;
}

std::vector<std::string> Tweaks::filesRead() const {
    return m_filesRead;
}

void Tweaks::setFailureHandler(FailureHandler handler) {
    s_failureHandler = handler;
}

void Tweaks::print() {
    MutexGuard guard(m_mutex);
    if (m_tweaks.empty())
        LOG(LogControl) << "tweaks are empty" << std::endl;
    for (TweakTable::const_iterator it = m_tweaks.begin(); it != m_tweaks.end(); ++it)
        LOG(LogControl) << it->first << "=" << it->second.textForm() << std::endl;
}
