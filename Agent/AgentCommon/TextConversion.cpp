#include "AgentCommon/TextConversion.h"

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
