#include "VssRequester/CheckpointObjectName.h"

#include "VssRequester/Base64.h"

std::wstring CheckpointObjectName::compose(const std::vector<std::wstring>& macAddresses,
                                           const std::wstring& tag) {
    std::wstring name = kPrefix;
    for (size_t i = 0; i < macAddresses.size(); ++i) {
        if (i != 0)
            name += L' ';
        name += macAddresses[i];
    }
    name += L'/';
    std::string encoded = Base64::encodeUtf16Le(tag);
    name.append(encoded.begin(), encoded.end());
    return name;
}
