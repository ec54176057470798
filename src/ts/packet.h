// Field readers for one 188-byte transport packet and the PSI section that
// starts in its payload. Every reader stays inside the packet: a field that
// would lie beyond byte 187 reads as absent (0, or "no such thing").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace varnek {

constexpr unsigned packet_size = 188;
constexpr uint8_t sync_byte = 0x47;
constexpr uint16_t no_pid_key = 0xFFFF;     // no sync byte; also a free table row
constexpr uint16_t null_pid = 0x1FFF;
constexpr unsigned max_streams = 15;

// A stored packet copy, owned apart from any read buffer.
using TsPacket = std::array<uint8_t, packet_size>;

// True when count bytes from start lie inside the packet.
constexpr bool inside_packet(unsigned start, unsigned count) {
    return start <= packet_size && count <= packet_size - start;
}

struct StreamEntry {
    uint16_t pid = 0;   // 0: empty row
    uint8_t type = 0;
};
using StreamList = std::array<StreamEntry, max_streams>;

// PID: 13 bits, bytes 1..2; no_pid_key without a sync byte.
inline uint16_t packet_pid(const uint8_t* packet) {
    if (packet[0] != sync_byte) return no_pid_key;
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}
// Bytes 0..3 as one big-endian number: transport error 0x00800000, PUSI
// 0x00400000, PID 13 bits from bit 8, adaptation field 0x20, payload 0x10,
// continuity counter 4 bits.
inline uint32_t header_word(const uint8_t* packet) {
    return (uint32_t(packet[0]) << 24) | (uint32_t(packet[1]) << 16) | (uint32_t(packet[2]) << 8) | packet[3];
}
// The header word's PID.
inline unsigned header_pid(uint32_t head) { return (head >> 8) & 0x1FFF; }
// The common packet, which the scan and -check only count. The scan's test:
// no PUSI and no adaptation field.
constexpr uint32_t common_scan_mask = 0x00400020;
inline bool common_for_scan(uint32_t head) { return (head & common_scan_mask) == 0; }
// -check's: besides, a sync byte, no transport error, not scrambled and a
// payload.
constexpr uint32_t common_check_mask = 0xFFC000F0;
constexpr uint32_t common_check_value = 0x47000010;
inline bool common_for_check(uint32_t head) { return (head & common_check_mask) == common_check_value; }
// The three-sync-byte rule looks at the sync bytes of the two packets behind
// the one it takes.
constexpr unsigned sync_look_ahead = 2 * packet_size;

// PUSI: bit 0x40 of byte 1.
inline bool has_pusi(const uint8_t* packet) { return (packet[1] & 0x40) != 0; }
// Payload present: bit 0x10 of byte 3.
inline bool has_payload_bit(const uint8_t* packet) { return (packet[3] & 0x10) != 0; }
// Adaptation field present: bit 0x20 of byte 3, with a sync byte.
bool has_adaptation(const uint8_t* packet);
// PCR flag: bit 0x10 of byte 5, adaptation field longer than 5.
inline bool has_pcr(const uint8_t* packet) {
    return packet[0] == sync_byte && (packet[3] & 0x20) != 0 && packet[4] > 5 && (packet[5] & 0x10) != 0;
}
// PCR base: 33 bits from byte 6, in 90 kHz ticks; 0 without a PCR.
uint64_t pcr_base(const uint8_t* packet);
// Discontinuity indicator: bit 0x80 of byte 5, in an adaptation field of
// at least one byte.
inline bool has_discontinuity(const uint8_t* packet) {
    return packet[0] == sync_byte && (packet[3] & 0x20) != 0 && packet[4] > 0 && (packet[5] & 0x80) != 0;
}
// Transport error indicator: bit 0x80 of byte 1.
inline bool has_transport_error(const uint8_t* packet) { return (packet[1] & 0x80) != 0; }
// Continuity counter: 4 bits of byte 3.
inline unsigned continuity_counter(const uint8_t* packet) { return packet[3] & 0x0F; }
// PCR base, 33 bits from byte 6, in milliseconds; 0 without a PCR.
uint32_t pcr_ms(const uint8_t* packet);
// Offset of the payload: 4, or adaptation field length + 5. May be 188 or
// more, which means the packet has no payload.
unsigned payload_offset(const uint8_t* packet);
// Offset of a PES start code 00 00 01 at the payload start; 0 if none.
unsigned pes_start_offset(const uint8_t* packet);
// PTS of the PES header at the payload start in milliseconds; 0 if none.
uint32_t pts_ms(const uint8_t* packet);
// A reader over the bytes [position, end) of one packet, positions counted
// from the packet's first byte: a read that would pass the end, or begins
// beyond it, says absent.
struct SectionCursor {
    const uint8_t* packet = nullptr;
    unsigned position = 0;
    unsigned end = packet_size;
};

// How many bytes the cursor has before its end; 0 beyond it.
inline unsigned bytes_left(const SectionCursor& c) { return c.position < c.end ? c.end - c.position : 0; }
// True when count bytes from offset after the position lie before the end.
inline bool cursor_has(const SectionCursor& c, unsigned offset, unsigned count) {
    return c.position <= c.end && offset <= c.end - c.position && count <= c.end - c.position - offset;
}
// The byte, big-endian 16-bit and 32-bit values at offset after the
// position; false when absent.
inline bool cursor_u8(const SectionCursor& c, unsigned offset, unsigned& value) {
    if (!cursor_has(c, offset, 1)) return false;
    value = c.packet[c.position + offset];
    return true;
}
inline bool cursor_u16(const SectionCursor& c, unsigned offset, unsigned& value) {
    if (!cursor_has(c, offset, 2)) return false;
    const uint8_t* b = c.packet + c.position + offset;
    value = (unsigned(b[0]) << 8) | b[1];
    return true;
}
inline bool cursor_u32(const SectionCursor& c, unsigned offset, uint32_t& value) {
    if (!cursor_has(c, offset, 4)) return false;
    const uint8_t* b = c.packet + c.position + offset;
    value = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    return true;
}

// The section that starts in the packet's payload, at its table id, as the
// report and the scan read it: the pointer field is taken to be 0 and never
// read. This is the one place that rule is made.
inline SectionCursor report_section(const uint8_t* packet) {
    return SectionCursor{packet, payload_offset(packet) + 1, packet_size};
}
// The section where the packet's pointer field puts it, as -check and the
// JSON object's "crc_ok" read it; absent (position past the end) when the
// pointer field itself lies outside the packet.
SectionCursor pointed_section(const uint8_t* packet);

// Section length: 10 bits at payload + 2..3; 0 when outside the packet.
unsigned section_length(const uint8_t* packet);
// Program number: 16 bits at payload + 4..5; 0 when outside the packet.
uint16_t pmt_program_number(const uint8_t* packet);
// PCR PID: 13 bits at payload + 9..10; 0 when outside the packet.
uint16_t pmt_pcr_pid(const uint8_t* packet);
// True when the payload starts a PMT section (pointer field 0, table id 2)
// whose fixed fields up to the program info length lie inside the packet.
bool is_pmt_section(const uint8_t* packet);
// The elementary streams of a PMT, at most 15; entries that do not lie
// wholly inside the packet are not read.
void pmt_streams(const uint8_t* packet, StreamList& list);
// CRC-32 of the section without its CRC field, over the bytes of it that
// lie inside the packet.
uint32_t section_crc(const uint8_t* packet);
// The CRC-32 stored at the end of the section, when the whole section lies
// inside the packet.
bool stored_section_crc(const uint8_t* packet, uint32_t& crc);
// True when the whole section at the cursor lies inside the packet and its
// stored CRC-32 is the one of its bytes.
bool section_crc_ok(const SectionCursor& section);
// Running CRC-32/MPEG-2 (no reflection, no final inversion).
uint32_t mpeg_crc32(const uint8_t* bytes, size_t count, uint32_t crc = 0xFFFFFFFFu);
// Bytes 4..187 differ (header and continuity counter are ignored).
bool packets_differ(const uint8_t* a, const uint8_t* b);

}  // namespace varnek
