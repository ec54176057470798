#include "ts/packet.h"

#include <algorithm>
#include <cstring>

namespace varnek {

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

namespace {

// The section length field: 10 bits at section + 1..2; 0 when absent.
unsigned length_at(const SectionCursor& c) {
    unsigned value = 0;
    return cursor_u16(c, 1, value) ? value & 0x03FF : 0;
}

// The CRC over the section's bytes before its CRC field that lie inside
// the packet.
uint32_t crc_at(const SectionCursor& c) {
    const unsigned length = length_at(c);
    if (length == 0 || !cursor_has(c, 0, 1)) return mpeg_crc32(c.packet, 0);
    return mpeg_crc32(c.packet + c.position, std::min(length - 1, bytes_left(c)));
}

// The stored CRC: the last 4 of the length bytes that follow the 3-byte
// section header.
bool stored_crc_at(const SectionCursor& c, uint32_t& crc) {
    const unsigned length = length_at(c);
    return length >= 4 && cursor_u32(c, length - 1, crc);
}

}  // namespace

SectionCursor pointed_section(const uint8_t* p) {
    SectionCursor c = report_section(p);
    unsigned pointer = 0;
    if (!cursor_u8(SectionCursor{p, c.position - 1, packet_size}, 0, pointer)) return SectionCursor{p, packet_size + 1};
    c.position += pointer;
    return c;
}

unsigned section_length(const uint8_t* p) { return length_at(report_section(p)); }

uint16_t pmt_program_number(const uint8_t* p) {
    unsigned value = 0;
    return cursor_u16(report_section(p), 3, value) ? static_cast<uint16_t>(value) : 0;
}

uint16_t pmt_pcr_pid(const uint8_t* p) {
    unsigned value = 0;
    return cursor_u16(report_section(p), 8, value) ? static_cast<uint16_t>(value & 0x1FFF) : 0;
}

bool is_pmt_section(const uint8_t* p) {
    const SectionCursor c = report_section(p);
    // Pointer field through program info length; the PMT capture takes only
    // a section that starts right behind its pointer field.
    unsigned table_id = 0;
    return cursor_has(c, 0, 12) && p[c.position - 1] == 0 && cursor_u8(c, 0, table_id) && table_id == 0x02;
}

void pmt_streams(const uint8_t* p, StreamList& list) {
    for (StreamEntry& e : list) e = StreamEntry{};
    const SectionCursor c = report_section(p);
    unsigned info_length = 0;
    if (!cursor_has(c, 0, 12) || !cursor_u16(c, 10, info_length)) return;
    // Offsets from the section's table id; the entries end before the CRC.
    unsigned b = 11 + (info_length & 0x03FF);
    const unsigned length = length_at(c);
    unsigned n = 0;
    unsigned type = 0, pid = 0, es_info = 0;
    while (b + 2 < length && n < max_streams && cursor_has(c, b + 1, 5)) {
        cursor_u8(c, b + 1, type);
        cursor_u16(c, b + 2, pid);
        cursor_u16(c, b + 4, es_info);
        list[n].type = static_cast<uint8_t>(type);
        list[n].pid = static_cast<uint16_t>(pid & 0x1FFF);
        ++n;
        b += 5 + (es_info & 0x03FF);
    }
}

uint32_t section_crc(const uint8_t* p) { return crc_at(report_section(p)); }

bool stored_section_crc(const uint8_t* p, uint32_t& crc) { return stored_crc_at(report_section(p), crc); }

bool section_crc_ok(const SectionCursor& section) {
    uint32_t stored = 0;
    return stored_crc_at(section, stored) && stored == crc_at(section);
}

bool packets_differ(const uint8_t* a, const uint8_t* b) {
    return std::memcmp(a + 4, b + 4, packet_size - 4) != 0;
}

}  // namespace varnek
