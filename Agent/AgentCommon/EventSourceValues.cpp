#include "AgentCommon/EventSourceValues.h"

namespace {
char16_t folded(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}
} // namespace

bool EventSourceValues::current(u32 fileType, const std::vector<u8>& fileBytes, u32 typesType,
                                const std::vector<u8>& typesBytes, const std::u16string& exePath) {
    if (typesType != kDword || typesBytes.size() != 4)
        return false;
    const u32 types =
        typesBytes[0] | typesBytes[1] << 8 | typesBytes[2] << 16 | static_cast<u32>(typesBytes[3]) << 24;
    if (types != kTypesSupported)
        return false;
    if ((fileType != kString && fileType != kExpandString) || fileBytes.size() % 2 != 0)
        return false;
    std::u16string file;
    for (size_t i = 0; i < fileBytes.size(); i += 2)
        file += static_cast<char16_t>(fileBytes[i] | fileBytes[i + 1] << 8);
    if (!file.empty() && file.back() == u'\0')
        file.pop_back();
    if (file.size() != exePath.size() || exePath.empty())
        return false;
    for (size_t i = 0; i < file.size(); ++i)
        if (folded(file[i]) != folded(exePath[i]))
            return false;
    return true;
}
