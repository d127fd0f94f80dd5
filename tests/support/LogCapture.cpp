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

void LogCapture::writeLocked(const char* record, size_t length) {
    m_records.emplace_back(record, length);
}

void LogCapture::clear() {
    locked([this] { m_records.clear(); });
}

std::vector<std::string> LogCapture::records() {
    return locked([this] { return m_records; });
}

std::vector<std::string> LogCapture::messages() {
    std::vector<std::string> out;
    for (const std::string& r : records())
        out.push_back(messageOf(r));
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

std::string LogCapture::messageOf(const std::string& record) {
    size_t pos = 0;
    for (int i = 0; i < 6; ++i) {
        pos = record.find(',', pos);
        if (pos == std::string::npos)
            return std::string();
        ++pos;
    }
    return record.substr(pos, record.size() - pos - (record.back() == '\n' ? 1 : 0));
}
