#pragma once
// The logging core: one process-wide Logger, records built per statement in
// the calling thread, and up to four registered sinks (LoggerClient).
//
// A statement is
//     LOG(LogInfo) << "text" << value << std::endl;
// Creating the item writes the record header, so the time column is the
// moment the statement began; std::endl flushes the stream and that flush
// dispatches the record. A statement that never receives its std::endl
// dispatches nothing.
#include "Mutex.h"
#include "Os.h"
#include "Singleton.h"
#include "StlMemShiledContainer.h"
#include "Types.h"

#include <atomic>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <typeinfo>

enum LogLevel : u32 {
    LogAssert = 0,
    LogFatal = 1,
    LogError = 2,
    LogWarn = 3,
    LogInfo = 4,
    LogDebug = 5,
    LogControl = 6,
    LogInfo7 = 7,
};

enum LoggerId : u32 {
    LoggerInvalid = 0,
    LoggerJex = 1,
    LoggerQbr = 2,
    LoggerNon = 3,
};

const u32 kAllLevelsMask = 255;

const char* logLevelName(u32 level);
const char* loggerIdName(u32 loggerId);

// Writes the UTC time as "YYYY-MM-DD hh:mm:ss" followed, when fractionDigits
// (0..4) is above 0, by "." and the milliseconds cut to that many digits.
// '0' is left as the stream's fill character.
void formatLogTimestamp(std::ostream& stream, u32 fractionDigits);
// The same for a given time.
void formatLogTimestamp(std::ostream& stream, const UtcTime& time, u32 fractionDigits);

// The qualified function name, as MSVC's __FUNCTION__ spells it, from what
// the compiler offers: MSVC's name is returned unchanged; GCC's
// __PRETTY_FUNCTION__ loses its return type, parameters and "[with ...]"
// clause (template parameters are substituted), and a lambda becomes the
// enclosing function followed by "::<lambda>".
std::string labelFromSignature(const char* signature);

// The record's class and function columns made from a label:
// "Tweaks::Tweak::Tweak" -> "Tweaks::Tweak,Tweak", "wmain" -> ",wmain".
std::string methodColumns(const std::string& label);

// A type as MSVC writes it inside a function label: "class X", "enum X",
// "class X *". GCC's labels spell template arguments without the keyword, so
// records of template members use this to read alike on every compiler.
std::string labelTypeName(const std::type_info& type, bool isEnum, bool isClass, bool isPointerToClass);
template <class T> std::string labelTypeName() {
    typedef typename std::remove_pointer<T>::type Pointee;
    return labelTypeName(typeid(Pointee), std::is_enum<T>::value, std::is_class<T>::value,
                         std::is_pointer<T>::value && std::is_class<Pointee>::value);
}

// The method columns of a call site's signature in storage that is never
// freed: detached threads may still log while the process runs its exit
// handlers, so a call site's cached text must outlive static destruction.
const char* callSiteColumns(const char* signature);

// A destination of records. What a client may assume, and must do:
// - write is called on the thread that made the record, from any number of
//   threads at once, with no lock of the Logger's held: a client that has
//   state locks on its own (LockedLoggerClient does it for simple ones);
// - the logging thread waits for write, so it stays short and never blocks
//   on anything that could itself be waiting to log;
// - write, flush and deferWrites must not log (the record would come back to
//   the same client, perhaps under its own lock) and must not throw;
// - a registered client is never unregistered or deleted: records may still
//   arrive from detached threads while the process ends.
class LoggerClient {
public:
    virtual ~LoggerClient() = default;
    // One finished record, including its final line end. The bytes are the
    // caller's: a client that keeps them copies them.
    virtual void write(const char* record, size_t length) = 0;
    // Pushes out whatever the client has buffered.
    virtual void flush() {}
    // While on, a client that hands records to a thread of its own may wake
    // that thread less often (records still reach their destination in
    // order, a little later); off wakes it for what came meanwhile. For a
    // stretch in which the writing thread must not compete with the logging
    // one.
    virtual void deferWrites(bool /*on*/) {}

    // Bit n set: records of level n are delivered. Written by registerClient.
    u32 levelMask = 0;
};

class LogItem;

// A record's bytes: an inline buffer that covers ordinary records, and heap
// storage for the rare longer one.
class LogStringBuf : public std::streambuf {
public:
    LogStringBuf() : m_level(LogInfo) { setp(m_inline, m_inline + kInlineBytes); }
    ~LogStringBuf() override = default;
    LogStringBuf(const LogStringBuf&) = delete;
    LogStringBuf& operator=(const LogStringBuf&) = delete;

    // Empties the buffer for a record of `level`; heap storage of a long
    // record is given back.
    void restart(u32 level);
    // Appends without the stream's formatting machinery (the record header).
    void append(const char* data, size_t length) { xsputn(data, static_cast<std::streamsize>(length)); }

protected:
    // Dispatches the whole buffered record. Nothing is cleared, which is why
    // a statement ends with exactly one std::endl.
    int sync() override;
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize length) override;

private:
    static const size_t kInlineBytes = 480;
    // Room for at least `more` bytes beyond what is written.
    void grow(size_t more);

    u32 m_level;
    std::string m_heap;
    char m_inline[kInlineBytes];
};

// The stream of one statement. Setting up a standard stream (its locale and
// facets) costs more than formatting a whole record, so each thread keeps its
// stream between statements; see LogItem.
class LogStream : public std::ostream {
public:
    LogStream() : std::ostream(nullptr) { rdbuf(&m_buf); }
    // Puts the stream back in the state of a fresh one whose record header
    // was just written.
    void begin(u32 loggerId, u32 level, const char* methodColumns, u32 fractionDigits);

private:
    LogStringBuf m_buf;
};

// One statement: takes the thread's spare stream (or a new one, for a
// statement written while another one of the thread is still open) and gives
// it back at the end of the statement. The spare is freed when its thread ends.
class LogItem {
public:
    LogItem(u32 loggerId, u32 level, const char* methodColumns, u32 fractionDigits);
    ~LogItem();
    LogItem(const LogItem&) = delete;
    LogItem& operator=(const LogItem&) = delete;

    // An lvalue for the statement's first insertion.
    std::ostream& stream() { return *m_stream; }

private:
    LogStream* m_stream;
};

class Logger : public Singleton<Logger> {
public:
    static const u32 kMaxClients = 4;

    // Stores the mask in the client, then appends it. A fifth client ends the
    // process. Called during single-threaded start-up only.
    void registerClient(LoggerClient* client, u32 levelMask);
    // Flushes every client in registration order.
    void flush();
    // Each client's deferWrites, in registration order.
    void deferWrites(bool on);

    // Names the calling thread; a thread that has a name keeps it.
    void setThreadName(const std::string& name);
    // The empty string for a thread without a name.
    std::string getThreadName(u32 threadId);
    void removeThreadName(u32 threadId);

    // The async table names threads in the record's thread column. Nothing in
    // the agent fills it; the setter exists for diagnostics and tests.
    std::string getAsyncThreadName();
    void setAsyncThreadName(const std::string& name);
    void removeAsyncThreadName();

    // Delivers one record to the clients whose mask has its level; levels 0-2
    // also flush every client, and level 0 ends the process.
    void dispatch(const char* record, size_t length, u32 level);

    u32 clientsCount() const { return m_clientsCnt.load(std::memory_order_acquire); }

private:
    friend class Singleton<Logger>;
    Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    typedef StlMemShiledContainer<std::map<u32, std::string>> ThreadNames;
    ThreadNames m_asyncThreadNames;
    std::atomic<u32> m_asyncNamesCount{0};
    ThreadNames m_threadNames;
    LoggerClient* m_clients[kMaxClients];
    std::atomic<u32> m_clientsCnt;
    Mutex m_mutex;
};

// The record's first six columns and their commas.
void writeRecordHeader(LogStringBuf& record, u32 level, u32 loggerId, const char* methodColumns,
                       u32 fractionDigits);

#if defined(_MSC_VER)
#define ORV_FUNCTION_SIGNATURE __FUNCTION__
#else
#define ORV_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif

// The method columns of the enclosing function, computed once per call site.
#define ORV_LOG_COLUMNS()                                                                                    \
    ([](const char* orvSignature) -> const char* {                                                           \
        static const char* const orvColumns = callSiteColumns(orvSignature);                                 \
        return orvColumns;                                                                                   \
    }(ORV_FUNCTION_SIGNATURE))

#define LOG_FULL(loggerId, level, fractionDigits)                                                            \
    LogItem((loggerId), (level), ORV_LOG_COLUMNS(), (fractionDigits)).stream()
#define LOG(level) LOG_FULL(LoggerNon, (level), 3)
// A statement under a label given as text (built per statement: for rare
// records whose label the compiler would spell differently).
#define LOG_LABELED(level, label) LogItem(LoggerNon, (level), methodColumns(label).c_str(), 3).stream()
#define LOG_JEX(level) LOG_FULL(LoggerJex, (level), 3)
// A statement under method columns a caller passed on (ORV_LOG_COLUMNS() taken
// there): for a helper whose records must carry its caller's label.
#define LOG_AT(level, columns) LogItem(LoggerNon, (level), (columns), 3).stream()

// Check form: an "Assert" record " <file> <line>: <condition> failed. <detail>",
// delivered to every client and standard output; the process then ends.
#define ORV_CHECK_AS(cond, condText, detail)                                                                 \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            LOG(LogAssert) << " " << __FILE__ << " " << __LINE__ << ": " << (condText) << " failed. "        \
                           << detail << std::endl;                                                           \
            Os::failFast();                                                                                  \
        }                                                                                                    \
    } while (0)
#define ORV_CHECK(cond, detail) ORV_CHECK_AS(cond, #cond, detail)
#define ORV_CHECK_LABELED(label, cond, detail)                                                               \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            LOG_LABELED(LogAssert, label) << " " << __FILE__ << " " << __LINE__ << ": " << #cond             \
                                          << " failed. " << detail << std::endl;                             \
            Os::failFast();                                                                                  \
        }                                                                                                    \
    } while (0)

// Inline form: an "Error" record "Assertion (<condition>) failed <file> <line>",
// then the process ends at once.
#define ORV_ASSERT_AS(cond, condText)                                                                        \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            LOG(LogError) << "Assertion (" << (condText) << ") failed " << __FILE__ << " " << __LINE__       \
                          << std::endl;                                                                      \
            Os::failFast();                                                                                  \
        }                                                                                                    \
    } while (0)
#define ORV_ASSERT(cond) ORV_ASSERT_AS(cond, #cond)
#define ORV_ASSERT_LABELED(label, cond)                                                                      \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            LOG_LABELED(LogError, label)                                                                     \
                << "Assertion (" << #cond << ") failed " << __FILE__ << " " << __LINE__ << std::endl;        \
            Os::failFast();                                                                                  \
        }                                                                                                    \
    } while (0)
