// The receiver's own packets (QBX packets) and its header record, QBXH.
// Multi-byte fields of the record are little-endian.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "ts/packet.h"

namespace varnek {

constexpr uint16_t info_pid_key = 0x41FF;  // PID table key of every QBX packet
constexpr unsigned qbx_text_offset = 13;
constexpr unsigned qbxh_stream_table = 56;
constexpr unsigned qbxh_stream_entries = 16;
constexpr uint8_t qbxh_empty_type = 0xFF;
constexpr uint8_t qbxh_pmt_type = 0xE2;
// Places of the record's 16-bit fields.
constexpr unsigned qbxh_program_at = 16;
constexpr unsigned qbxh_duration_at = 24;
constexpr unsigned qbxh_start_mjd_at = 30;
constexpr unsigned qbxh_video_pid_at = 40;
constexpr unsigned qbxh_audio_pid_at = 42;
constexpr unsigned qbxh_pcr_pid_at = 44;
constexpr unsigned qbxh_pmt_pid_at = 50;

// Bytes 0..3 are 47 41 FF 00.
inline bool is_qbx_packet(const uint8_t* packet) {
    // One four-byte compare: this runs for every packet of the scan.
    static constexpr uint8_t head[4] = {0x47, 0x41, 0xFF, 0x00};
    return std::memcmp(packet, head, 4) == 0;
}
// Tag: the four raw bytes 4..7.
inline const uint8_t* qbx_tag(const uint8_t* packet) { return packet + 4; }
bool tag_is(const uint8_t* packet, const char (&tag)[5]);
// Length of the text from byte 13 up to its NUL or the packet's end.
unsigned qbx_text_length(const uint8_t* packet);
std::string qbx_text(const uint8_t* packet);

// Little-endian 16-bit field at offset.
uint16_t qbxh_u16(const uint8_t* record, unsigned offset);
// Writes a little-endian 16-bit field at offset.
void qbxh_put_u16(uint8_t* record, unsigned offset, uint16_t value);
inline uint16_t qbxh_program(const uint8_t* r) { return qbxh_u16(r, qbxh_program_at); }
inline uint16_t qbxh_duration(const uint8_t* r) { return qbxh_u16(r, qbxh_duration_at); }
inline uint8_t qbxh_start_minute(const uint8_t* r) { return r[28]; }
inline uint8_t qbxh_start_hour(const uint8_t* r) { return r[29]; }
inline uint16_t qbxh_start_mjd(const uint8_t* r) { return qbxh_u16(r, qbxh_start_mjd_at); }
inline uint16_t qbxh_video_pid(const uint8_t* r) { return qbxh_u16(r, qbxh_video_pid_at) & 0x1FFF; }
inline uint16_t qbxh_audio_pid(const uint8_t* r) { return qbxh_u16(r, qbxh_audio_pid_at) & 0x1FFF; }
inline uint16_t qbxh_pcr_pid(const uint8_t* r) { return qbxh_u16(r, qbxh_pcr_pid_at) & 0x1FFF; }
inline uint16_t qbxh_pmt_pid(const uint8_t* r) { return qbxh_u16(r, qbxh_pmt_pid_at) & 0x1FFF; }
// Stream table entry i (0..15): type at 56 + 4i, PID (16 bits) at 58 + 4i.
inline uint8_t qbxh_entry_type(const uint8_t* r, unsigned i) { return r[qbxh_stream_table + 4 * i]; }
inline uint16_t qbxh_entry_pid(const uint8_t* r, unsigned i) { return qbxh_u16(r, qbxh_stream_table + 4 * i + 2); }

// The recording's start as seconds since the epoch: the stored date (days
// since 2009-01-01, from the MJD), hour and minute, taken as local time.
int64_t recording_start_time(const uint8_t* record);

}  // namespace varnek
