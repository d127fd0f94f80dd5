#pragma once
// CRC-32 of IEEE 802.3: reflected polynomial 0xEDB88320, initial value all
// ones, final complement (the function zlib calls crc32).
#include "Types.h"

#include <cstddef>
#include <string>

// `crc` is the result over the preceding bytes, so a checksum can be built in
// pieces: crc32(b, crc32(a)) == crc32(a + b).
u32 crc32(const void* data, size_t size, u32 crc = 0);
inline u32 crc32(const std::string& data, u32 crc = 0) {
    return crc32(data.data(), data.size(), crc);
}
