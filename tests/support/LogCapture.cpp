#include "LogCapture.h"

LogCapture& LogCapture::instance() {
    static LogCapture* capture = [] {
        LogCapture* c = new LogCapture();
        Logger::instance()->registerClient(c, kAllLevelsMask);
        return c;
    }();
    return *capture;
}

void LogCapture::write(const std::string& record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(record);
}

void LogCapture::flush() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_flushes;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
    m_flushes = 0;
}

std::vector<std::string> LogCapture::records() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

std::vector<std::string> LogCapture::messages() {
    std::vector<std::string> out;
    for (const std::string& r : records())
        out.push_back(messageOf(r));
    return out;
}

bool LogCapture::hasMessage(const std::string& message) {
    for (const std::string& m : messages())
        if (m == message)
            return true;
    return false;
}

bool LogCapture::hasMessageContaining(const std::string& fragment) {
    for (const std::string& m : messages())
        if (m.find(fragment) != std::string::npos)
            return true;
    return false;
}

size_t LogCapture::flushCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flushes;
}

std::string LogCapture::messageOf(const std::string& record) {
    size_t pos = 0;
    for (int i = 0; i < 6 && pos != std::string::npos; ++i) {
        pos = record.find(',', pos);
        if (pos != std::string::npos)
            ++pos;
    }
    if (pos == std::string::npos)
        return std::string();
    std::string message = record.substr(pos);
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    return message;
}
