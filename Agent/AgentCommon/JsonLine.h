#pragma once
// Builds one line of JSON text: an object whose members are added in order,
// with nested objects and arrays. The result is always valid UTF-8 JSON on
// one line, whatever bytes a text brings (a log shipper drops a line it
// cannot parse, and with it the whole run's record). Platform-free.
#include "Types.h"

#include <optional>
#include <string>

class JsonLine {
public:
    JsonLine();

    // Members of the object open at the moment.
    JsonLine& member(const char* key, const std::string& text);
    JsonLine& member(const char* key, const char* text);
    JsonLine& member(const char* key, i64 number);
    JsonLine& member(const char* key, bool flag);
    // Milliseconds and the like, with three decimals; null when absent.
    JsonLine& memberFixed(const char* key, const std::optional<double>& number);
    JsonLine& memberNull(const char* key);
    // Null when absent.
    JsonLine& member(const char* key, const std::optional<std::string>& text);
    JsonLine& member(const char* key, const std::optional<i64>& number);
    JsonLine& member(const char* key, const std::optional<bool>& flag);

    // A member that is an object or an array, closed by end().
    JsonLine& beginObject(const char* key);
    JsonLine& beginArray(const char* key);
    // Elements of the array open at the moment.
    JsonLine& beginObject();
    JsonLine& element(const std::string& text);
    JsonLine& end();

    // The text with every open object and array closed, and "\n".
    std::string line() const;

    // `text` as a JSON string with its quotes: '"', '\\' and the control
    // characters escaped, each byte that is not part of well-formed UTF-8
    // replaced by U+FFFD.
    static std::string quoted(const std::string& text);

private:
    void key(const char* key);
    void separate();
    // A new level, after its key or separator.
    JsonLine& open(char opener, char closer);

    std::string m_text;
    // One character per open level: '}' or ']'; the outermost is the line's.
    std::string m_closers;
    // Whether the level open at the moment already holds something.
    bool m_empty = true;
};
