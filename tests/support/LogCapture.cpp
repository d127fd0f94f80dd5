#include "LogCapture.h"

#include <algorithm>

LogCapture& LogCapture::instance() {
    static LogCapture* capture = [] {
        LogCapture* c = new LogCapture();
        Logger::instance()->registerClient(c, kAllLevelsMask);
        return c;
    }();
    return *capture;
}

std::vector<std::string> LogCapture::messages() {
    std::vector<std::string> out;
    for (const std::string& r : records())
        out.push_back(columnsOf(r).message);
    return out;
}

bool LogCapture::hasMessage(const std::string& message) {
    const std::vector<std::string> all = messages();
    return std::find(all.begin(), all.end(), message) != all.end();
}

bool LogCapture::hasMessageContaining(const std::string& fragment) {
    const std::vector<std::string> all = messages();
    return std::any_of(all.begin(), all.end(),
                       [&](const std::string& m) { return m.find(fragment) != m.npos; });
}

LogRecord LogCapture::columnsOf(const std::string& record) {
    std::string columns[6];
    size_t from = 0;
    for (std::string& column : columns) {
        const size_t comma = record.find(',', from);
        if (comma == std::string::npos)
            return LogRecord();
        column = record.substr(from, comma - from);
        from = comma + 1;
    }
    const size_t end = record.find_last_not_of("\r\n");
    return {columns[1], columns[4], columns[5], end < from ? "" : record.substr(from, end + 1 - from)};
}
