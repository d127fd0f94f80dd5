#include "AgentCommon/TextConversion.h"

#include "Types.h"

namespace {
void appendUtf8(std::string& out, u32 codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

const u32 kReplacementCharacter = 0xFFFD;
} // namespace

std::string narrowText(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t c : wide)
        // wchar_t is unsigned on Windows and signed elsewhere; compare unsigned.
        out += static_cast<unsigned long>(c) < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string narrowText(const wchar_t* wide) {
    return wide == nullptr ? std::string() : narrowText(std::wstring(wide));
}

std::string utf8Text(const wchar_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        // wchar_t is unsigned on Windows and signed elsewhere.
        u32 unit = static_cast<u32>(text[i]);
        // Beyond Unicode, or a low surrogate with no high one before it.
        if (unit > 0x10FFFF || (unit >= 0xDC00 && unit <= 0xDFFF)) {
            appendUtf8(out, kReplacementCharacter);
        } else if (unit >= 0xD800 && unit <= 0xDBFF) {
            u32 next = i + 1 < length ? static_cast<u32>(text[i + 1]) : 0;
            if (next >= 0xDC00 && next <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
            } else {
                appendUtf8(out, kReplacementCharacter);
            }
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

std::string utf8Text(const std::wstring& text) {
    return utf8Text(text.data(), text.size());
}
