#include "AgentCommon/JsonLine.h"

#include <cstdio>

namespace {
const char kReplacement[] = "\xEF\xBF\xBD";

// The length of the well-formed UTF-8 sequence at `i`, or 0 when there is
// none there (stray continuation, overlong form, surrogate, beyond U+10FFFF,
// cut short).
size_t sequenceLength(const std::string& text, size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    u32 min = 0;
    u32 codePoint = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        min = 0x80;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        min = 0x800;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        min = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < min || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}
} // namespace

JsonLine::JsonLine() : m_text("{"), m_closers("}") {}

std::string JsonLine::quoted(const std::string& text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = sequenceLength(text, i);
        if (length == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        i += length;
    }
    out += '"';
    return out;
}

void JsonLine::separate() {
    if (!m_empty)
        m_text += ',';
    m_empty = false;
}

void JsonLine::key(const char* key) {
    separate();
    m_text += quoted(key);
    m_text += ':';
}

JsonLine& JsonLine::member(const char* name, const std::string& text) {
    key(name);
    m_text += quoted(text);
    return *this;
}

JsonLine& JsonLine::member(const char* name, const char* text) {
    return text == nullptr ? memberNull(name) : member(name, std::string(text));
}

JsonLine& JsonLine::member(const char* name, i64 number) {
    key(name);
    m_text += std::to_string(number);
    return *this;
}

JsonLine& JsonLine::member(const char* name, bool flag) {
    key(name);
    m_text += flag ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::memberFixed(const char* name, const std::optional<double>& number) {
    // JSON has no text for NaN or infinity.
    if (!number || *number != *number || *number > 1e15 || *number < -1e15)
        return memberNull(name);
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", *number);
    key(name);
    m_text += text;
    return *this;
}

JsonLine& JsonLine::memberNull(const char* name) {
    key(name);
    m_text += "null";
    return *this;
}

JsonLine& JsonLine::member(const char* name, const std::optional<std::string>& text) {
    return text ? member(name, *text) : memberNull(name);
}

JsonLine& JsonLine::member(const char* name, const std::optional<i64>& number) {
    return number ? member(name, *number) : memberNull(name);
}

JsonLine& JsonLine::member(const char* name, const std::optional<bool>& flag) {
    return flag ? member(name, *flag) : memberNull(name);
}

JsonLine& JsonLine::beginObject(const char* name) {
    key(name);
    return open('{', '}');
}

JsonLine& JsonLine::beginArray(const char* name) {
    key(name);
    return open('[', ']');
}

JsonLine& JsonLine::beginObject() {
    separate();
    return open('{', '}');
}

JsonLine& JsonLine::open(char opener, char closer) {
    m_text += opener;
    m_closers += closer;
    m_empty = true;
    return *this;
}

JsonLine& JsonLine::element(const std::string& text) {
    separate();
    m_text += quoted(text);
    return *this;
}

JsonLine& JsonLine::end() {
    // The line's own object closes only in line().
    if (m_closers.size() > 1) {
        m_text += m_closers.back();
        m_closers.pop_back();
    }
    m_empty = false;
    return *this;
}

std::string JsonLine::line() const {
    return m_text + std::string(m_closers.rbegin(), m_closers.rend()) + "\n";
}
