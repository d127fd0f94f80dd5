// The base64 encoder and the checkpoint object name built from it. The input
// gives the MAC addresses (six bytes each, as the listener formats them) and
// the tag as UTF-16LE code units, the form the command line delivers it in;
// the remaining bytes are also encoded as they are.
#include "FuzzCheck.h"
#include "VssRequester/Base64.h"
#include "VssRequester/CheckpointObjectName.h"

#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

namespace {
const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";

// Undoes the encoding; a text that is not base64 of this alphabet fails the
// property outright.
std::vector<u8> decode(const std::string& text) {
    FUZZ_CHECK(text.size() % 4 == 0);
    std::vector<u8> bytes;
    for (size_t i = 0; i < text.size(); i += 4) {
        u32 group = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            bool last = i + 4 == text.size();
            if (c == '=') {
                FUZZ_CHECK(last && j >= 2);
                ++padding;
                group <<= 6;
                continue;
            }
            FUZZ_CHECK(padding == 0);
            size_t index = kAlphabet.find(c);
            FUZZ_CHECK(index != std::string::npos);
            group = (group << 6) | static_cast<u32>(index);
        }
        bytes.push_back(static_cast<u8>(group >> 16));
        if (padding < 2)
            bytes.push_back(static_cast<u8>(group >> 8));
        if (padding < 1)
            bytes.push_back(static_cast<u8>(group));
    }
    return bytes;
}

std::wstring macText(const std::vector<u8>& address) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (u8 byte : address) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string encoded = Base64::encode(data, size);
    FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    FUZZ_CHECK(decode(encoded) == std::vector<u8>(data, data + size));

    FuzzedDataProvider in(data, size);
    std::vector<std::wstring> macs(in.ConsumeIntegralInRange<size_t>(0, 4));
    for (std::wstring& mac : macs)
        mac = macText(in.ConsumeBytes<u8>(6));
    const bool wholeCodePoints = in.ConsumeBool();
    std::vector<u8> tagBytes = in.ConsumeRemainingBytes<u8>();
    tagBytes.resize(tagBytes.size() / 2 * 2);

    std::wstring tag;
    for (size_t i = 0; i < tagBytes.size(); i += 2) {
        u32 unit = tagBytes[i] | (tagBytes[i + 1] << 8);
        u32 next = i + 3 < tagBytes.size() ? tagBytes[i + 2] | (tagBytes[i + 3] << 8) : 0;
        // Where wchar_t holds whole code points, a surrogate pair is one
        // character; the bytes encoded must be the same.
        if (sizeof(wchar_t) > 2 && wholeCodePoints && unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 &&
            next <= 0xDFFF) {
            tag += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            i += 2;
        } else {
            tag += static_cast<wchar_t>(unit);
        }
    }
    const std::string encodedTag = Base64::encodeUtf16Le(tag);
    FUZZ_CHECK(encodedTag == Base64::encode(tagBytes.data(), tagBytes.size()));

    const std::wstring name = CheckpointObjectName::compose(macs, tag);
    std::wstring joined;
    for (size_t i = 0; i < macs.size(); ++i)
        joined += (i == 0 ? L"" : L" ") + macs[i];
    const std::wstring prefix = CheckpointObjectName::kPrefix;
    FUZZ_CHECK(name == prefix + joined + L"/" + std::wstring(encodedTag.begin(), encodedTag.end()));
    // The tag adds no path separator.
    FUZZ_CHECK(name.rfind(L'/') == prefix.size() + joined.size());
    return 0;
}
