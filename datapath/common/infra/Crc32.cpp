#include "Crc32.h"

namespace {
struct Crc32Table {
    u32 entries[256];
    Crc32Table() {
        for (u32 i = 0; i < 256; ++i) {
            u32 c = i;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[i] = c;
        }
    }
};
} // namespace

u32 crc32(const void* data, size_t size, u32 crc) {
    static const Crc32Table table;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table.entries[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}
