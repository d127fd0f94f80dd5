#include "AgentCommon/RunRecordMarker.h"

#include <charconv>

namespace {
// The run id and the start time go into the next run's record: only the
// characters a run id or a UTC time of ours is made of, and not many.
bool plainText(const std::string& text, const char* allowed, size_t maxSize) {
    return !text.empty() && text.size() <= maxSize && text.find_first_not_of(allowed) == std::string::npos;
}

// A whole decimal text no greater than `limit`, without a sign, a blank or a
// leading zero: a marker cut short by a crash, or one that someone else
// wrote, must never yield a different number, nor throw.
bool decimalValue(const std::string& text, u64 limit, u64& value) {
    u64 read = 0;
    if (!plainText(text, "0123456789", 20) || (text.size() > 1 && text[0] == '0') ||
        std::from_chars(text.data(), text.data() + text.size(), read).ec != std::errc() || read > limit)
        return false;
    value = read;
    return true;
}
} // namespace

std::string RunRecordMarker::text() const {
    return "run=" + run + "\npid=" + std::to_string(pid) + "\ncreated=" + std::to_string(created) +
           "\nstart=" + start + "\n";
}

bool RunRecordMarker::parse(const std::string& text, RunRecordMarker& marker) {
    static const char kRunChars[] = "0123456789abcdefABCDEF-";
    static const char kTimeChars[] = "0123456789-:.TZ";
    RunRecordMarker read;
    bool seen[4] = {false, false, false, false};
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            return false;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        u64 number = 0;
        if (key == "run" && plainText(value, kRunChars, 64)) {
            read.run = value;
            seen[0] = true;
        } else if (key == "pid" && decimalValue(value, 0xFFFFFFFFull, number)) {
            read.pid = static_cast<i64>(number);
            seen[1] = true;
        } else if (key == "created" && decimalValue(value, ~0ull, number)) {
            read.created = number;
            seen[2] = true;
        } else if (key == "start" && plainText(value, kTimeChars, 32)) {
            read.start = value;
            seen[3] = true;
        } else {
            return false;
        }
    }
    if (!(seen[0] && seen[1] && seen[2] && seen[3]))
        return false;
    marker = read;
    return true;
}
