#pragma once
// Wide to narrow text for the log and the console. Neither conversion fails
// or throws on odd input.
#include <cstddef>
#include <string>

// ASCII kept, anything else '?': for texts that are ASCII in ordinary use.
std::string narrowText(const std::wstring& wide);
std::string narrowText(const wchar_t* wide);

// `length` UTF-16 code units as UTF-8. On a platform whose wchar_t is wider,
// a unit above 0xFFFF is taken as a whole code point. An unpaired surrogate
// becomes U+FFFD, so a damaged name still yields a readable record.
std::string utf8Text(const wchar_t* text, size_t length);
std::string utf8Text(const std::wstring& text);
