#include "Log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#if defined(__GNUC__)
#include <cxxabi.h>
#endif

namespace {

const char* const kLevelNames[] = {"Assert", "Fatal", "Error", "Warn", "Info", "Debug", "Control", "Info"};
const char* const kLoggerIdNames[] = {"Invalid", "JEX", "QBR", "NON"};

bool isIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Replaces whole identifiers equal to a template parameter by its argument.
std::string substituteParams(const std::string& name,
                             const std::vector<std::pair<std::string, std::string>>& params) {
    if (params.empty())
        return name;
    std::string out;
    size_t i = 0;
    while (i < name.size()) {
        if (!isIdentChar(name[i])) {
            out += name[i++];
            continue;
        }
        size_t j = i;
        while (j < name.size() && isIdentChar(name[j]))
            ++j;
        std::string ident = name.substr(i, j - i);
        for (const auto& p : params) {
            if (p.first == ident) {
                ident = p.second;
                break;
            }
        }
        out += ident;
        i = j;
    }
    return out;
}

// "T = int; U = char" from GCC's "[with ...]" clause.
std::vector<std::pair<std::string, std::string>> parseWithClause(const std::string& clause) {
    std::vector<std::pair<std::string, std::string>> params;
    size_t pos = 0;
    while (pos < clause.size()) {
        size_t end = clause.find("; ", pos);
        if (end == std::string::npos)
            end = clause.size();
        std::string item = clause.substr(pos, end - pos);
        size_t eq = item.find(" = ");
        if (eq != std::string::npos) {
            // A non-type parameter reads "int N": its name is the last word.
            std::string name = item.substr(0, eq);
            size_t space = name.rfind(' ');
            if (space != std::string::npos)
                name.erase(0, space + 1);
            params.emplace_back(name, item.substr(eq + 3));
        }
        pos = end + 2;
    }
    return params;
}

// The qualified name inside a GCC function signature such as
// "const char* ns::Foo<T>::bar(int) const": the text between the return type
// and the parameter list.
std::string qualifiedName(const std::string& sig) {
    int depth = 0;
    size_t lastSpace = std::string::npos;
    size_t i = 0;
    while (i < sig.size()) {
        char c = sig[i];
        if (depth == 0 && sig.compare(i, 8, "operator") == 0 && (i == 0 || !isIdentChar(sig[i - 1])) &&
            (i + 8 >= sig.size() || !isIdentChar(sig[i + 8]))) {
            // The operator's symbol may hold '(', '<' or spaces: it ends at the
            // parameter list, which for "operator()" is the second "(".
            i += 8;
            if (sig.compare(i, 2, "()") == 0)
                i += 2;
            while (i < sig.size() && sig[i] != '(')
                ++i;
            break;
        }
        if (c == '<')
            ++depth;
        else if (c == '>' && depth > 0)
            --depth;
        else if (c == '(' && depth == 0)
            break;
        else if (c == ' ' && depth == 0)
            lastSpace = i;
        ++i;
    }
    size_t start = lastSpace == std::string::npos ? 0 : lastSpace + 1;
    std::string name = sig.substr(start, i - start);
    // "ns::Foo::operator new" keeps its space; trim what stands before "(".
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

} // namespace

const char* logLevelName(u32 level) {
    return level < 8 ? kLevelNames[level] : "Unknown";
}

const char* loggerIdName(u32 loggerId) {
    return loggerId < 4 ? kLoggerIdNames[loggerId] : "Unknown";
}

void formatLogTimestamp(std::ostream& stream, u32 fractionDigits) {
    formatLogTimestamp(stream, Os::utcNow(), fractionDigits);
}

namespace {
// Writes value as exactly width decimal digits, padded with '0'. Every record
// starts with a timestamp, and a formatted print costs several times this.
char* putDigits(char* out, u32 value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}
} // namespace

namespace {
// "YYYY-MM-DD hh:mm:ss[.f]" into out (at least 24 bytes); returns its end.
char* putTimestamp(char* out, const UtcTime& t, u32 fractionDigits) {
    static const u32 kDivisors[] = {1, 100, 10, 1, 1};
    char* p = putDigits(out, t.year, 4);
    *p++ = '-';
    p = putDigits(p, t.month, 2);
    *p++ = '-';
    p = putDigits(p, t.day, 2);
    *p++ = ' ';
    p = putDigits(p, t.hour, 2);
    *p++ = ':';
    p = putDigits(p, t.minute, 2);
    *p++ = ':';
    p = putDigits(p, t.second, 2);
    if (fractionDigits > 0) {
        u32 digits = fractionDigits > 4 ? 4 : fractionDigits;
        *p++ = '.';
        p = putDigits(p, t.milliseconds / kDivisors[digits], static_cast<int>(digits));
    }
    return p;
}

char* putText(char* out, const char* text) {
    size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    return out + length;
}

char* putDecimal(char* out, u32 value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *out++ = digits[--n];
    return out;
}
} // namespace

void formatLogTimestamp(std::ostream& stream, const UtcTime& t, u32 fractionDigits) {
    char buf[32];
    stream.write(buf, putTimestamp(buf, t, fractionDigits) - buf);
    // As if the fields had been written with setfill('0'): the fill stays.
    stream.fill('0');
}

std::string labelFromSignature(const char* signature) {
#if defined(_MSC_VER)
    return signature;
#else
    std::string sig = signature;
    std::vector<std::pair<std::string, std::string>> params;
    size_t with = sig.rfind(" [with ");
    if (with != std::string::npos && !sig.empty() && sig.back() == ']') {
        params = parseWithClause(sig.substr(with + 7, sig.size() - with - 8));
        sig.erase(with);
    }
    std::string suffix;
    size_t lambda = sig.find("::<lambda");
    if (lambda != std::string::npos) {
        suffix = "::<lambda>";
        sig.erase(lambda);
    }
    return substituteParams(qualifiedName(sig), params) + suffix;
#endif
}

std::string methodColumns(const std::string& label) {
    std::string shown = label;
    std::string searched = label;
    size_t lambda = label.find("<lambda");
    if (lambda != std::string::npos) {
        shown = label.substr(0, lambda) + "<lambda>";
        searched = label.substr(0, lambda >= 2 ? lambda - 2 : 0);
    }
    size_t q = searched.rfind(':');
    if (q == std::string::npos)
        return "," + shown;
    return shown.substr(0, q > 0 ? q - 1 : 0) + "," + shown.substr(q + 1);
}

std::string labelTypeName(const std::type_info& type, bool isEnum, bool isClass, bool isPointerToClass) {
    std::string name = type.name();
#if defined(__GNUC__)
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    if (status == 0 && demangled != nullptr)
        name = demangled;
    std::free(demangled);
#else
    // MSVC's names already carry the keyword.
    return isPointerToClass ? name + " *" : name;
#endif
    if (isEnum)
        return "enum " + name;
    if (isClass)
        return "class " + name;
    if (isPointerToClass)
        return "class " + name + " *";
    return name;
}

const char* callSiteColumns(const char* signature) {
    std::string columns = methodColumns(labelFromSignature(signature));
    char* kept = new char[columns.size() + 1];
    std::memcpy(kept, columns.c_str(), columns.size() + 1);
    return kept;
}

void writeRecordHeader(LogStringBuf& record, u32 level, u32 loggerId, const char* columns,
                       u32 fractionDigits) {
    // Every statement pays for its header: it is assembled here rather than
    // through the stream's formatted insertions, which cost several times as much.
    char head[96];
    char* p = putTimestamp(head, Os::utcNow(), fractionDigits);
    *p++ = ',';
    p = putText(p, logLevelName(level));
    *p++ = ',';
    p = putDecimal(p, Os::currentThreadId());
    record.append(head, static_cast<size_t>(p - head));
    std::string asyncName = Logger::instance()->getAsyncThreadName();
    if (!asyncName.empty()) {
        record.append("/", 1);
        record.append(asyncName.data(), asyncName.size());
    }
    p = head;
    *p++ = ',';
    p = putText(p, loggerIdName(loggerId));
    *p++ = ',';
    record.append(head, static_cast<size_t>(p - head));
    record.append(columns, std::strlen(columns));
    record.append(",", 1);
}

void LogStringBuf::grow(size_t more) {
    size_t used = static_cast<size_t>(pptr() - pbase());
    size_t wanted = std::max(static_cast<size_t>(epptr() - pbase()) * 2, used + more);
    bool wasInline = m_heap.empty();
    m_heap.resize(wanted);
    if (wasInline)
        std::memcpy(&m_heap[0], m_inline, used);
    setp(&m_heap[0], &m_heap[0] + wanted);
    pbump(static_cast<int>(used));
}

LogStringBuf::int_type LogStringBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    grow(1);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

std::streamsize LogStringBuf::xsputn(const char* data, std::streamsize length) {
    size_t n = static_cast<size_t>(length);
    if (n > static_cast<size_t>(epptr() - pptr()))
        grow(n);
    std::memcpy(pptr(), data, n);
    pbump(static_cast<int>(n));
    return length;
}

int LogStringBuf::sync() {
    Logger::instance()->dispatch(pbase(), static_cast<size_t>(pptr() - pbase()), m_level);
    return 0;
}

void LogStringBuf::restart(u32 level) {
    m_level = level;
    if (!m_heap.empty())
        std::string().swap(m_heap);
    setp(m_inline, m_inline + kInlineBytes);
}

void LogStream::begin(u32 loggerId, u32 level, const char* columns, u32 fractionDigits) {
    clear();
    flags(std::ios_base::skipws | std::ios_base::dec);
    width(0);
    precision(6);
    m_buf.restart(level);
    writeRecordHeader(m_buf, level, loggerId, columns, fractionDigits);
    // As if the time had been written with setfill('0'): the fill stays.
    fill('0');
}

namespace {
void ORV_THREAD_EXIT_CALLBACK deleteSpareStream(void* stream) {
    delete static_cast<LogStream*>(stream);
}

// Never destroyed: threads log while the process runs its exit handlers. The
// streams are the logging core's own scratch, not tracked allocations: the
// tracking allocator reports its findings through them.
Os::ThreadSlot& spareStreams() {
    static Os::ThreadSlot* const slot = new Os::ThreadSlot(deleteSpareStream);
    return *slot;
}
} // namespace

LogItem::LogItem(u32 loggerId, u32 level, const char* columns, u32 fractionDigits) {
    Os::ThreadSlot& slot = spareStreams();
    m_stream = static_cast<LogStream*>(slot.get());
    if (m_stream != nullptr)
        slot.set(nullptr);
    else
        m_stream = new LogStream();
    m_stream->begin(loggerId, level, columns, fractionDigits);
}

LogItem::~LogItem() {
    Os::ThreadSlot& slot = spareStreams();
    if (slot.get() == nullptr)
        slot.set(m_stream);
    else
        delete m_stream;
}

Logger::Logger()
    : m_asyncThreadNames("LoggerAsyncThreadNames"), m_threadNames("LoggerThreadNames"), m_clients{},
      m_clientsCnt(0) {}

void Logger::registerClient(LoggerClient* client, u32 levelMask) {
    client->levelMask = levelMask;
    u32 count = m_clientsCnt.load(std::memory_order_relaxed);
    ORV_CHECK(m_clientsCnt < 4, " m_clientsCnt=" << count << " ");
    m_clients[count] = client;
    m_clientsCnt.store(count + 1, std::memory_order_release);
}

void Logger::flush() {
    u32 count = clientsCount();
    for (u32 i = 0; i < count; ++i)
        m_clients[i]->flush();
}

void Logger::deferWrites(bool on) {
    u32 count = clientsCount();
    for (u32 i = 0; i < count; ++i)
        m_clients[i]->deferWrites(on);
}

void Logger::dispatch(const char* record, size_t length, u32 level) {
    u32 count = clientsCount();
    bool flushes = level <= LogError;
    for (u32 i = 0; i < count; ++i) {
        LoggerClient* client = m_clients[i];
        if (level < 32 && (client->levelMask & (1u << level)) != 0)
            client->write(record, length);
        if (flushes)
            client->flush();
    }
    if (level != LogAssert)
        return;
    flush();
    std::fwrite(record, 1, length, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    Os::failFast();
}

void Logger::setThreadName(const std::string& name) {
    MutexGuard guard(m_mutex);
    m_threadNames.emplace(Os::currentThreadId(), name);
}

std::string Logger::getThreadName(u32 threadId) {
    MutexGuard guard(m_mutex);
    ThreadNames::const_iterator it = m_threadNames.find(threadId);
    return it == m_threadNames.end() ? std::string() : it->second;
}

void Logger::removeThreadName(u32 threadId) {
    MutexGuard guard(m_mutex);
    m_threadNames.erase(threadId);
}

std::string Logger::getAsyncThreadName() {
    // Nothing names async threads in an ordinary run: skip the lock then.
    if (m_asyncNamesCount.load(std::memory_order_acquire) == 0)
        return std::string();
    MutexGuard guard(m_mutex);
    ThreadNames::const_iterator it = m_asyncThreadNames.find(Os::currentThreadId());
    return it == m_asyncThreadNames.end() ? std::string() : it->second;
}

void Logger::setAsyncThreadName(const std::string& name) {
    MutexGuard guard(m_mutex);
    m_asyncThreadNames[Os::currentThreadId()] = name;
    m_asyncNamesCount.store(static_cast<u32>(m_asyncThreadNames.size()), std::memory_order_release);
}

void Logger::removeAsyncThreadName() {
    MutexGuard guard(m_mutex);
    m_asyncThreadNames.erase(Os::currentThreadId());
    m_asyncNamesCount.store(static_cast<u32>(m_asyncThreadNames.size()), std::memory_order_release);
}
