#include "VssRequester/Base64.h"

#include <vector>

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";

void appendUnit(std::vector<u8>& bytes, u32 unit) {
    bytes.push_back(static_cast<u8>(unit & 0xFF));
    bytes.push_back(static_cast<u8>(unit >> 8));
}
} // namespace

std::string Base64::encode(const u8* data, size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        size_t remaining = size - i;
        u32 group = static_cast<u32>(data[i]) << 16;
        if (remaining > 1)
            group |= static_cast<u32>(data[i + 1]) << 8;
        if (remaining > 2)
            group |= data[i + 2];
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += remaining > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        out += remaining > 2 ? kAlphabet[group & 63] : '=';
    }
    return out;
}

std::string Base64::encodeUtf16Le(const std::wstring& text) {
    std::vector<u8> bytes;
    bytes.reserve(text.size() * 2);
    for (wchar_t c : text) {
        u32 code = static_cast<u32>(c);
        // Only where wchar_t holds whole code points (not on Windows): a
        // character beyond the first plane becomes its surrogate pair.
        if (code > 0xFFFF) {
            code -= 0x10000;
            appendUnit(bytes, 0xD800 + (code >> 10));
            appendUnit(bytes, 0xDC00 + (code & 0x3FF));
        } else {
            appendUnit(bytes, code);
        }
    }
    return encode(bytes.data(), bytes.size());
}
