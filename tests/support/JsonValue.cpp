#include "support/JsonValue.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    bool document(JsonValue& value) {
        space();
        if (!read(value, 0))
            return false;
        space();
        return m_pos == m_text.size();
    }

private:
    static const int kMaxDepth = 64;

    void space() {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' ||
                                         m_text[m_pos] == '\n' || m_text[m_pos] == '\r'))
            ++m_pos;
    }
    bool literal(const char* word) {
        const std::string w(word);
        if (m_text.compare(m_pos, w.size(), w) != 0)
            return false;
        m_pos += w.size();
        return true;
    }
    bool read(JsonValue& value, int depth) {
        if (depth > kMaxDepth || m_pos >= m_text.size())
            return false;
        const char c = m_text[m_pos];
        if (c == 'n')
            return literal("null");
        if (c == 't' || c == 'f') {
            value.m_kind = JsonValue::Bool;
            value.m_bool = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == '"') {
            value.m_kind = JsonValue::String;
            return string(value.m_text);
        }
        if (c == '[') {
            ++m_pos;
            value.m_kind = JsonValue::Array;
            space();
            if (m_pos < m_text.size() && m_text[m_pos] == ']') {
                ++m_pos;
                return true;
            }
            for (;;) {
                value.m_elements.emplace_back();
                space();
                if (!read(value.m_elements.back(), depth + 1))
                    return false;
                space();
                if (m_pos < m_text.size() && m_text[m_pos] == ',') {
                    ++m_pos;
                    continue;
                }
                return m_pos < m_text.size() && m_text[m_pos++] == ']';
            }
        }
        if (c == '{') {
            ++m_pos;
            value.m_kind = JsonValue::Object;
            space();
            if (m_pos < m_text.size() && m_text[m_pos] == '}') {
                ++m_pos;
                return true;
            }
            for (;;) {
                space();
                std::string key;
                if (m_pos >= m_text.size() || m_text[m_pos] != '"' || !string(key) || value.has(key))
                    return false;
                space();
                if (m_pos >= m_text.size() || m_text[m_pos++] != ':')
                    return false;
                space();
                if (!read(value.m_members[key], depth + 1))
                    return false;
                space();
                if (m_pos < m_text.size() && m_text[m_pos] == ',') {
                    ++m_pos;
                    continue;
                }
                return m_pos < m_text.size() && m_text[m_pos++] == '}';
            }
        }
        return number(value);
    }
    bool number(JsonValue& value) {
        const size_t start = m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '-')
            ++m_pos;
        const size_t digits = m_pos;
        while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos])))
            ++m_pos;
        if (m_pos == digits || (m_text[digits] == '0' && m_pos - digits > 1))
            return false;
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            const size_t fraction = ++m_pos;
            while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos])))
                ++m_pos;
            if (m_pos == fraction)
                return false;
        }
        value.m_kind = JsonValue::Number;
        value.m_number = std::strtod(m_text.substr(start, m_pos - start).c_str(), nullptr);
        return true;
    }
    // UTF-8 is taken as it is; escapes of the basic plane are decoded.
    bool string(std::string& out) {
        ++m_pos;
        while (m_pos < m_text.size()) {
            const unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_pos >= m_text.size())
                return false;
            const char e = m_text[m_pos++];
            const char* simple = "\"\\/bfnrt";
            const char* decoded = "\"\\/\b\f\n\r\t";
            const char* at = std::char_traits<char>::find(simple, 8, e);
            if (at != nullptr) {
                out += decoded[at - simple];
                continue;
            }
            if (e != 'u' || m_pos + 4 > m_text.size())
                return false;
            const std::string hex = m_text.substr(m_pos, 4);
            if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            m_pos += 4;
            const unsigned long unit = std::strtoul(hex.c_str(), nullptr, 16);
            if (unit < 0x80) {
                out += static_cast<char>(unit);
            } else if (unit < 0x800) {
                out += static_cast<char>(0xC0 | (unit >> 6));
                out += static_cast<char>(0x80 | (unit & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (unit >> 12));
                out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (unit & 0x3F));
            }
        }
        return false;
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

bool JsonValue::parse(const std::string& text, JsonValue& value) {
    JsonValue read;
    if (!JsonReader(text).document(read))
        return false;
    value = read;
    return true;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
    static const JsonValue null;
    auto found = m_members.find(key);
    return found == m_members.end() ? null : found->second;
}

const JsonValue& JsonValue::operator[](size_t index) const {
    static const JsonValue null;
    return index < m_elements.size() ? m_elements[index] : null;
}

std::string JsonValue::str() const {
    switch (m_kind) {
    case Null:
        return "null";
    case Bool:
        return m_bool ? "true" : "false";
    case Number: {
        if (m_number == std::floor(m_number) && std::fabs(m_number) < 1e15)
            return std::to_string(static_cast<long long>(m_number));
        std::ostringstream out;
        out << m_number;
        return out.str();
    }
    case String:
        return "\"" + m_text + "\"";
    case Array: {
        std::string out = "[";
        for (size_t i = 0; i < m_elements.size(); ++i)
            out += (i ? "," : "") + m_elements[i].str();
        return out + "]";
    }
    case Object: {
        std::string out = "{";
        for (const auto& member : m_members)
            out += (out.size() > 1 ? ",\"" : "\"") + member.first + "\":" + member.second.str();
        return out + "}";
    }
    }
    return "";
}
