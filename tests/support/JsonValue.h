#pragma once
// A JSON text read back into a tree, for the tests that check what the agent
// wrote. Strict: anything that is not one well-formed JSON value (with only
// white space around it) fails to parse, so a malformed record fails its test.
#include <map>
#include <memory>
#include <string>
#include <vector>

class JsonValue {
public:
    enum Kind { Null, Bool, Number, String, Array, Object };

    // False, with `value` left null, when `text` is not one JSON value.
    static bool parse(const std::string& text, JsonValue& value);

    Kind kind() const { return m_kind; }
    bool isNull() const { return m_kind == Null; }
    bool boolean() const { return m_bool; }
    double number() const { return m_number; }
    long long integer() const { return static_cast<long long>(m_number); }
    const std::string& text() const { return m_text; }
    const std::vector<JsonValue>& elements() const { return m_elements; }
    bool has(const std::string& key) const { return m_members.count(key) != 0; }
    // A missing member or element reads as null.
    const JsonValue& operator[](const std::string& key) const;
    const JsonValue& operator[](size_t index) const;
    // The value as compact text (numbers as integers where they are whole):
    // for comparisons and failure messages.
    std::string str() const;

private:
    Kind m_kind = Null;
    bool m_bool = false;
    double m_number = 0;
    std::string m_text;
    std::vector<JsonValue> m_elements;
    std::map<std::string, JsonValue> m_members;

    friend class JsonReader;
};
