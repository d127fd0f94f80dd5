#pragma once
// Tweaks: named configuration values. The process's store (Tweaks::instance())
// loads the tweak files of the working directory on first use, takes defaults
// registered by code, and answers typed queries. Names are matched without
// regard to letter case.
//
// Files, in the order they are applied (later ones override earlier ones):
//   1. the consistent file set "jex_tweaks\\" "\\" "tweaks.txt" (strict: a
//      malformed line or a duplicate name ends the process; a set that exists
//      without a valid copy ends it too, a missing set is empty);
//   2. "tweaks_extension.txt";
//   3. "test_appdata" "tweaks_extension_upgrade_surviving.txt" (no separator);
//   4. "test_appdata\\" "tweaks_extension_upgrade_surviving.txt".
// Files 2-4 are optional and lenient: a missing file is reported and skipped,
// a line without "=" is skipped, a name defined twice in one file is applied
// from neither line.
//
// A line is "name = value ; comment" (at most 510 characters; a longer line
// ends the reading of that file). A value is a number (decimal with optional
// sign, or hexadecimal after "0x"; text after the number is ignored), a
// boolean word (true/yes/on/enabled/ok = 1, false/no/off/disabled = 0, any
// case), or a text in double quotes. An empty value removes the tweak.
//
// Process-ending paths (assertions): a malformed value, a missing tweak asked
// for without a default, a text tweak asked for as a number, a number outside
// the range of intVal/uintVal, and any stream applied after loading.
#include "Mutex.h"
#include "Singleton.h"
#include "StlMemShiledContainer.h"
#include "Types.h"

#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The value of one tweak.
struct Tweak {
    std::string text; // only for text tweaks
    i64 number = 0;
    bool isNumeric = false;

    // Parses a value text as written in a tweak file; a malformed text ends
    // the process.
    static Tweak fromText(const std::string& valueText);
    // The number in decimal, or the text between double quotes.
    std::string textForm() const;
};

// Orders names by their lower-case characters; a prefix sorts first.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// One "name = value ; comment" line of a tweak file, trimmed.
struct TweakEntry {
    std::string name;
    std::string value;
    std::string comment; // kept for readers of the file; no effect on the store
};

class Tweaks : public Singleton<Tweaks> {
public:
    enum class Source {
        // An empty store that stays open for applying streams.
        Nothing,
        // The loading sequence over the working directory.
        WorkingDirectory,
    };

    // A store of its own, separate from the process's: for tools and tests.
    // It never feeds DynamicTweaks.
    explicit Tweaks(Source source);

    i64 longVal(const std::string& name, std::optional<i64> def = std::nullopt);
    i32 intVal(const std::string& name, std::optional<i32> def = std::nullopt);
    u32 uintVal(const std::string& name, std::optional<u32> def = std::nullopt);
    bool boolVal(const std::string& name, std::optional<bool> def = std::nullopt);

    // Adds the tweak unless one of that name exists; true if it was added.
    bool setDefaultValIfNotSet(const std::string& name, const std::string& valueText);
    // Replaces (or, with an empty value, removes) the tweak; returns the
    // previous value's text form, empty if there was none.
    std::string update(const std::string& name, const std::string& valueText);
    // Applies the file leniently; false if it could not be opened. Only while
    // the store is loading.
    bool updateFromFile(const std::string& path);
    // Applies a stream of tweak lines; only while the store is loading.
    void update(std::istream& stream, bool strict);
    // Logs every tweak at level Control, in name order.
    void print();
    // The files this store read, in the order it read them.
    std::vector<std::string> filesRead() const;

    // Called, when set, with one line on what was wrong just before a bad
    // tweak or tweak file ends the process, on the thread that met it: the
    // program's chance to say so elsewhere than in the log (which may not
    // exist yet). It must not use the tweak store.
    typedef void (*FailureHandler)(const std::string& reason);
    static void setFailureHandler(FailureHandler handler);

    // Reads entries up to the end of the stream or the first over-long line.
    // In strict mode a line without "=" ends the process; otherwise it is
    // skipped.
    static std::vector<TweakEntry> getTweaksFromStream(std::istream& stream, bool strict);

private:
    friend class Singleton<Tweaks>;
    // The process's store: loads the working directory's files.
    Tweaks();

    void loadFromFiles();
    void refreshDynamicTweaks();

    typedef std::map<std::string, Tweak, CaseInsensitiveLess> TweakTable;
    Mutex m_mutex;
    StlMemShiledContainer<TweakTable> m_tweaks ORV_GUARDED_BY(m_mutex){"Tweaks"};
    bool m_isInitialized = false;
    bool m_feedsDynamicTweaks = false;
    // Written while the store loads, before any other thread can see it.
    std::vector<std::string> m_filesRead;
};
