#include "ts/packet.h"

#include <cstring>

namespace varnek {

namespace {

// Byte at offset, which the caller has checked to be inside the packet.
inline unsigned byte_at(const uint8_t* p, unsigned offset) { return p[offset]; }

}  // namespace

bool has_adaptation(const uint8_t* p) { return p[0] == sync_byte && (p[3] & 0x20) != 0; }

uint64_t pcr_base(const uint8_t* p) {
    if (!has_pcr(p)) return 0;
    return (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) | (uint64_t(p[8]) << 9) | (uint64_t(p[9]) << 1) |
           (uint64_t(p[10]) >> 7);
}

uint32_t pcr_ms(const uint8_t* p) { return static_cast<uint32_t>(pcr_base(p) / 90); }

unsigned payload_offset(const uint8_t* p) {
    if ((p[3] & 0x20) == 0) return 4;
    return unsigned(p[4]) + 5;
}

unsigned pes_start_offset(const uint8_t* p) {
    if (p[0] != sync_byte || (p[1] & 0x40) == 0 || (p[3] & 0x10) == 0) return 0;
    unsigned o = payload_offset(p);
    if (!inside_packet(o, 3)) return 0;
    if (p[o] != 0 || p[o + 1] != 0 || p[o + 2] != 1) return 0;
    return o;
}

uint32_t pts_ms(const uint8_t* p) {
    unsigned o = pes_start_offset(p);
    if (o == 0 || !inside_packet(o, 14)) return 0;
    if ((p[o + 7] & 0x80) == 0) return 0;
    if ((p[o + 9] & 1) == 0 || (p[o + 11] & 1) == 0 || (p[o + 13] & 1) == 0) return 0;
    uint64_t pts = (uint64_t((p[o + 9] >> 1) & 7) << 30) | (uint64_t(p[o + 10]) << 22) |
                   (uint64_t(p[o + 11] >> 1) << 15) | (uint64_t(p[o + 12]) << 7) |
                   (uint64_t(p[o + 13]) >> 1);
    return static_cast<uint32_t>(pts / 90);
}

unsigned section_length(const uint8_t* p) {
    unsigned h = payload_offset(p);
    if (!inside_packet(h + 2, 2)) return 0;
    return ((byte_at(p, h + 2) & 0x03) << 8) | byte_at(p, h + 3);
}

uint16_t pmt_program_number(const uint8_t* p) {
    unsigned h = payload_offset(p);
    if (!inside_packet(h + 4, 2)) return 0;
    return static_cast<uint16_t>((byte_at(p, h + 4) << 8) | byte_at(p, h + 5));
}

uint16_t pmt_pcr_pid(const uint8_t* p) {
    unsigned h = payload_offset(p);
    if (!inside_packet(h + 9, 2)) return 0;
    return static_cast<uint16_t>(((byte_at(p, h + 9) & 0x1F) << 8) | byte_at(p, h + 10));
}

bool is_pmt_section(const uint8_t* p) {
    unsigned h = payload_offset(p);
    // Pointer field through program info length (h .. h + 12).
    if (!inside_packet(h, 13)) return false;
    return p[h] == 0 && p[h + 1] == 0x02;
}

void pmt_streams(const uint8_t* p, StreamList& list) {
    for (StreamEntry& e : list) e = StreamEntry{};
    unsigned h = payload_offset(p);
    if (!inside_packet(h, 13)) return;
    unsigned info_length = ((byte_at(p, h + 11) & 0x03) << 8) | byte_at(p, h + 12);
    unsigned b = h + 12 + info_length;
    unsigned limit = h + section_length(p);  // the entries end before the CRC
    limit = limit > 0 ? limit - 1 : 0;
    unsigned n = 0;
    while (b < limit && n < max_streams && inside_packet(b + 1, 5)) {
        list[n].type = static_cast<uint8_t>(byte_at(p, b + 1));
        list[n].pid = static_cast<uint16_t>(((byte_at(p, b + 2) & 0x1F) << 8) | byte_at(p, b + 3));
        unsigned es_info = ((byte_at(p, b + 4) & 0x03) << 8) | byte_at(p, b + 5);
        ++n;
        b += 5 + es_info;
    }
}

uint32_t section_crc(const uint8_t* p) {
    unsigned h = payload_offset(p);
    unsigned length = section_length(p);
    if (length == 0 || !inside_packet(h + 1, 1)) return mpeg_crc32(p, 0);
    unsigned count = length - 1;
    unsigned room = packet_size - (h + 1);
    if (count > room) count = room;
    return mpeg_crc32(p + h + 1, count);
}

bool stored_section_crc(const uint8_t* p, uint32_t& crc) {
    unsigned h = payload_offset(p);
    unsigned length = section_length(p);
    // The section starts at h + 1; its CRC is the last 4 of the length bytes
    // that follow the 3-byte section header.
    if (length < 4 || !inside_packet(h + length, 4)) return false;
    unsigned at = h + length;
    crc = (uint32_t(p[at]) << 24) | (uint32_t(p[at + 1]) << 16) | (uint32_t(p[at + 2]) << 8) | p[at + 3];
    return true;
}

bool packets_differ(const uint8_t* a, const uint8_t* b) {
    return std::memcmp(a + 4, b + 4, packet_size - 4) != 0;
}

}  // namespace varnek
