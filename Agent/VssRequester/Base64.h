#pragma once
// The base64 form of the checkpoint tag. The alphabet has '-' at index 63 in
// place of the usual '/', so that the text can stand as one segment of a URL
// path; index 62 stays '+', and '=' pads to a multiple of four characters.
#include "Types.h"

#include <cstddef>
#include <string>

class Base64 {
public:
    static std::string encode(const u8* data, size_t size);
    // The text's UTF-16LE bytes (two per code unit, no terminator), encoded.
    static std::string encodeUtf16Le(const std::wstring& text);
};
