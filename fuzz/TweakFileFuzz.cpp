// The tweak-file parser: the input is a tweak file's text, applied the way
// the store applies "tweaks_extension.txt" (lenient) to a store of its own.
// The store's listing must then be what the file says, line by line.
//
// A value outside the grammar (an unterminated quote, a text that is neither
// a number nor a boolean word) ends the process by design; such a file is
// still read into entries, then left out.
#include "AssertionWatch.h"
#include "FuzzCheck.h"
#include "Log.h"
#include "Tweaks.h"

#include <cctype>
#include <cstdint>
#include <iostream>
#include <map>
#include <sstream>

namespace {
// Keeps the messages of the Control records: the store's listing.
struct ListingCapture : LoggerClient {
    void write(const char* data, size_t length) override {
        const std::string record(data, length);
        size_t start = 0;
        for (int comma = 0; comma < 6; ++comma)
            start = record.find(',', start) + 1;
        lines.push_back(record.substr(start, record.size() - start - 1));
    }
    std::vector<std::string> lines;
};
ListingCapture* g_listing = nullptr;

bool isBooleanWord(const std::string& text) {
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* word : {"true", "yes", "on", "enabled", "ok", "false", "no", "off", "disabled"}) {
        if (lower == word)
            return true;
    }
    return false;
}

// Empty (removes the tweak), a text in double quotes, a boolean word, a
// decimal number with an optional sign, or "0x" and a hexadecimal number.
bool inGrammar(const std::string& value) {
    if (value.empty())
        return true;
    if (value[0] == '"')
        return value.size() > 1 && value.back() == '"';
    if (isBooleanWord(value))
        return true;
    if (value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X'))
        return value.size() > 2 && std::isxdigit(static_cast<unsigned char>(value[2]));
    size_t digit = value[0] == '+' || value[0] == '-' ? 1 : 0;
    return digit < value.size() && std::isdigit(static_cast<unsigned char>(value[digit]));
}

bool trimmed(const std::string& text) {
    const std::string blanks = " \t\r\n";
    return text.empty() ||
           (blanks.find(text.front()) == std::string::npos && blanks.find(text.back()) == std::string::npos);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    AssertionWatch::install();
    std::cout.setstate(std::ios::badbit); // the duplicate-name lines
    g_listing = new ListingCapture();
    Logger::instance()->registerClient(g_listing, 1u << LogControl);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    const std::vector<TweakEntry> entries = Tweaks::getTweaksFromStream(in, false);
    std::map<std::string, size_t> definitions;
    for (const TweakEntry& entry : entries) {
        FUZZ_CHECK(trimmed(entry.name) && trimmed(entry.value) && trimmed(entry.comment));
        FUZZ_CHECK(entry.name.find_first_of("=;\n") == std::string::npos);
        FUZZ_CHECK(entry.value.find_first_of(";\n") == std::string::npos);
        if (!inGrammar(entry.value))
            return -1;
        ++definitions[entry.name];
    }

    // What the store must hold: names defined once in the file, the later
    // spelling of a name winning, an empty value removing it.
    std::map<std::string, std::string, CaseInsensitiveLess> expected;
    for (const TweakEntry& entry : entries) {
        if (definitions[entry.name] != 1)
            continue;
        expected.erase(entry.name);
        if (!entry.value.empty())
            expected.emplace(entry.name, entry.name + "=" + Tweak::fromText(entry.value).textForm());
    }

    Tweaks store(Tweaks::Source::Nothing);
    std::istringstream again(text);
    store.update(again, false);
    g_listing->lines.clear();
    store.print();
    std::vector<std::string> listing;
    for (const auto& tweak : expected)
        listing.push_back(tweak.second);
    if (listing.empty())
        listing.push_back("tweaks are empty");
    FUZZ_CHECK(g_listing->lines == listing);

    // The listed form of a value reads back as the same value.
    for (const TweakEntry& entry : entries) {
        if (entry.value.empty())
            continue;
        Tweak tweak = Tweak::fromText(entry.value);
        Tweak back = Tweak::fromText(tweak.textForm());
        FUZZ_CHECK(back.isNumeric == tweak.isNumeric && back.number == tweak.number &&
                   back.text == tweak.text);
    }
    return 0;
}
