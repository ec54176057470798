#include <array>

#include "ts/packet.h"

namespace varnek {

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> crc_table = make_crc_table();

}  // namespace

uint32_t mpeg_crc32(const uint8_t* bytes, size_t count, uint32_t crc) {
    for (size_t i = 0; i < count; ++i) crc = (crc << 8) ^ crc_table[((crc >> 24) ^ bytes[i]) & 0xFF];
    return crc;
}

}  // namespace varnek
