// The recording builder: an independent writer of the receiver's recordings,
// used by the tests, the sample program and the benchmark. It knows the
// packet and section layout on its own (big-endian MPEG-2 fields written by
// hand, a bitwise CRC-32) and shares no code with the tool, so that what the
// tool reads is checked against what was written here.
//
// Everything is deterministic: no clock, no random numbers.
//
// A typical test:
//
//   build::Recipe r;
//   r.head = {build::pat_packet({{1, 0x64}}), build::pmt_packet(build::pmt_for(r))};
//   r.body_packets = 5000;               // video 0x100 and audio 0x101 by default
//   r.pcr_interval_ms = 40;
//   r.sync_damage = {2500 * 188};        // sync byte of packet 2500
//   build::write_recording(r, dir.file("rec.ts"));
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnek::build {

using Packet = std::array<uint8_t, 188>;
using Bytes = std::vector<uint8_t>;

constexpr unsigned packet_bytes = 188;
constexpr uint16_t pat_pid = 0x0000;
constexpr uint16_t qbx_pid = 0x01FF;
constexpr uint16_t null_pid = 0x1FFF;
constexpr uint64_t ticks_per_ms = 90;          // 90 kHz clock
constexpr uint64_t clock_mask = (1ull << 33) - 1;

constexpr uint8_t video_stream_id = 0xE0;
constexpr uint8_t audio_stream_id = 0xC0;
constexpr uint8_t private_stream_id = 0xBD;

// ---------------------------------------------------------------------------
// CRC-32/MPEG-2, bit by bit: polynomial 0x04C11DB7, start 0xFFFFFFFF, most
// significant bit first, no reflection, no final inversion.
uint32_t crc32_mpeg2(const uint8_t* data, size_t count, uint32_t crc = 0xFFFFFFFF);
uint32_t crc32_mpeg2(const Bytes& data);

// Clock fields.
// PTS: '0010', PTS[32..30], marker, PTS[29..15], marker, PTS[14..0], marker.
std::array<uint8_t, 5> pts_bytes(uint64_t pts_ticks);
// PCR: 33-bit base, 6 reserved bits (all 1), 9-bit extension 0.
std::array<uint8_t, 6> pcr_bytes(uint64_t base_ticks);

// ---------------------------------------------------------------------------
// Single transport packets.

enum class Layout : uint8_t {
    payload_only,            // adaptation_field_control 01
    adaptation_and_payload,  // 11
    adaptation_only,         // 10
};

struct PacketFields {
    uint16_t pid = 0;
    bool pusi = false;
    uint8_t continuity = 0;  // low 4 bits used
    Layout layout = Layout::payload_only;
    // Adaptation field length (byte 4), 0..183. -1: automatic, that is 183
    // for adaptation_only, else 7 with a PCR and 1 without.
    int adaptation_length = -1;
    bool with_pcr = false;   // flags byte 0x10 and the PCR at bytes 6..11
    uint64_t pcr_base = 0;   // 90 kHz ticks, 33 bits used
    // When 0..255: written as byte 4 instead of the real length, for
    // malformed packets. The bytes behind it are laid out for the real
    // (adaptation_length) field, cut at the packet's end.
    int raw_adaptation_length = -1;
    // Written from the first byte after the adaptation field (byte 4 without
    // one), cut at the packet's end; the rest of the packet is 0xFF.
    Bytes payload;
};
Packet make_packet(const PacketFields& fields);

// Null packet on PID 0x1FFF, payload 0xFF.
Packet null_packet(uint8_t continuity = 0);
// A packet of only an adaptation field, which carries a PCR.
Packet pcr_packet(uint16_t pid, uint64_t pcr_base);

// ---------------------------------------------------------------------------
// PES starts: one packet with PUSI whose payload begins with a PES header.

struct PesFields {
    uint16_t pid = 0x100;
    uint8_t stream_id = video_stream_id;
    uint8_t continuity = 0;
    bool with_pts = true;      // PTS_DTS_flags 0x80 at header byte 7
    uint64_t pts = 0;          // 90 kHz ticks, 33 bits used
    int cleared_marker = -1;   // 0, 1 or 2: clear that marker bit of the PTS
    bool with_pcr = false;     // PCR in the same packet's adaptation field
    uint64_t pcr_base = 0;
    int adaptation_length = -1;  // -1: none, or 7 with a PCR
    Bytes data;                // elementary stream bytes behind the header; then 0xFF
};
// Header bytes: 00 00 01, stream id, length (2: 0 for video ids, else the
// bytes behind the field in this packet), 0x80, flags, header length, then
// the 5 PTS bytes if present, then data.
Bytes pes_header(const PesFields& fields);
Packet pes_packet(const PesFields& fields);
Packet pes_with_pts(uint16_t pid, uint8_t stream_id, uint64_t pts_ticks, uint8_t continuity = 0);

// ---------------------------------------------------------------------------
// PSI sections (PAT, PMT), each in one packet starting at its payload.

// Deliberate inconsistencies for malformed tables.
struct SectionTweaks {
    int section_length = -1;    // -1: the real one; else written as 12 bits behind 0xB0
    uint8_t pointer_field = 0;  // the section follows it directly, whatever its value
};

struct PatEntry {
    uint16_t program_number = 1;
    uint16_t pmt_pid = 0x64;
};
struct PatFields {
    std::vector<PatEntry> programs{PatEntry{}};
    uint16_t transport_stream_id = 0x0431;
    uint8_t version = 20;
    uint8_t continuity = 0;
    SectionTweaks tweaks;
};
Packet pat_packet(const PatFields& fields);
Packet pat_packet(const std::vector<PatEntry>& programs);

struct PmtStream {
    uint8_t type = 0x02;
    uint16_t pid = 0x100;
    Bytes descriptors;
    int es_info_length = -1;   // -1: descriptors.size()
};
struct PmtFields {
    uint16_t pid = 0x64;       // the PID the PMT travels on
    uint16_t program_number = 1;
    uint16_t pcr_pid = 0x100;
    Bytes program_descriptors;
    int program_info_length = -1;  // -1: program_descriptors.size()
    std::vector<PmtStream> streams;
    uint8_t version = 0;
    uint8_t continuity = 0;
    SectionTweaks tweaks;
};
Bytes pmt_section(const PmtFields& fields);
Packet pmt_packet(const PmtFields& fields);

// Any section in one packet: PUSI, payload only, pointer field, section, 0xFF.
Packet section_packet(uint16_t pid, const Bytes& section, uint8_t continuity = 0,
                      uint8_t pointer_field = 0);

// ---------------------------------------------------------------------------
// The receiver's own packets: 47 41 FF 00, a 4-byte tag, zeros elsewhere.

// Tag: the first four bytes of tag (shorter tags are padded with NUL bytes).
// Text: from byte 13, NUL-terminated while there is room (175 bytes at most).
Packet qbx_packet(const std::string& tag, const std::string& text = "");

struct QbxhStream {
    uint8_t type = 0x02;
    uint16_t pid = 0x100;
};
struct QbxhFields {
    uint16_t program_number = 1;   // LE at 16
    uint16_t duration_s = 0;       // LE at 24
    uint8_t start_minute = 0;      // 28
    uint8_t start_hour = 0;        // 29
    uint16_t mjd = 0;              // LE at 30
    uint16_t video_pid = 0;        // LE at 40
    uint16_t audio_pid = 0;        // LE at 42
    uint16_t pcr_pid = 0;          // LE at 44
    uint16_t pmt_pid = 0;          // LE at 50
    std::vector<QbxhStream> streams;  // table at 56, at most 16; the rest FF FF FF 1F
};
// A record as a generated one looks, with the constant bytes 8, 9, 20, 21,
// 47, 48 and 54 set.
Packet qbxh_packet(const QbxhFields& fields);
// The record of a program as the receiver makes one, undated: PMT pmt_pid,
// video 0x100 (type 02) with the PCR, audio 0x101 (type 03), and a stream
// table of the three, the PMT last (type E2).
QbxhFields program_record(uint16_t pmt_pid = 0x64, uint16_t duration_s = 0);

// Modified Julian Date of a calendar date (2009-01-01 is 54832).
uint16_t mjd_from_date(int year, int month, int day);

// ---------------------------------------------------------------------------
// Packet lists and files.

Bytes pack(const std::vector<Packet>& packets);
bool write_bytes(const std::string& path, const Bytes& bytes);
bool write_packets(const std::string& path, const std::vector<Packet>& packets);

// Overwrite the sync byte of a packet, or any byte by its offset.
// Insert count bytes of value at offset, which misaligns all packets behind.
void insert_bytes(Bytes& bytes, uint64_t offset, size_t count, uint8_t value = 0xFF);

// Name of part file index: base for 0, then base + "1", base + "2", ...
std::string part_name(const std::string& base, unsigned index);

// ---------------------------------------------------------------------------
// Whole recordings.

// One elementary stream of the body.
struct StreamRecipe {
    uint16_t pid = 0x100;
    uint8_t type = 0x02;              // stream type, for pmt_for
    uint8_t stream_id = video_stream_id;
    unsigned pes_interval_ms = 40;    // a PES start every so many ms; 0: none
    bool with_pts = true;
    std::optional<uint64_t> pts_start;  // ticks of the first PES; default Recipe::pts_start
    unsigned weight = 12;             // share of the body's other packets
};
StreamRecipe video_stream(uint16_t pid = 0x100, unsigned pes_interval_ms = 40);  // type 02, id E0
StreamRecipe audio_stream(uint16_t pid = 0x101, unsigned pes_interval_ms = 24);  // type 03, id C0

// Packets per millisecond as a bit rate: 1 packet/ms = 1,504,000 bit/s.
constexpr uint64_t bitrate_for_packets_per_ms(uint64_t packets) { return packets * 1504000; }

// A recording: the head packets as given, then body_packets packets whose
// times follow from the bit rate (body packet n is sent at n * 1504 /
// bitrate_bps seconds). In every body packet slot, the first that applies:
//  1. a PCR is due (every pcr_interval_ms from body time 0): on pcr_pid,
//     combined with a due PES start of that stream, else in an adaptation
//     field in front of stream data, else (no such stream) adaptation only;
//     its value is pcr_start + the slot's time;
//  2. the repeated packets are due (every repeat_interval_ms, from 0): the
//     next of them, in order;
//  3. a PES start is due on a stream (every pes_interval_ms, from 0), in
//     stream order; the k-th start of a stream has PTS pts_start + k * interval;
//  4. a null packet, when the null share is owed;
//  5. stream data, spread over the streams by weight.
// Continuity counters of body packets run per PID; clocks wrap at 2^33.
struct Recipe {
    std::vector<Packet> head;             // written first, unchanged, in order
    uint64_t body_packets = 1000;
    std::vector<StreamRecipe> streams{video_stream(), audio_stream()};
    uint16_t pcr_pid = 0x100;
    unsigned pcr_interval_ms = 40;        // 0: no PCR at all
    uint64_t pcr_start = 10 * 90000;      // ticks of the first body packet
    uint64_t pts_start = 10 * 90000 + 45000;
    std::vector<Packet> repeated;         // e.g. PAT and PMT
    unsigned repeat_interval_ms = 100;    // 0: never repeated
    unsigned null_per_mille = 0;          // share of null packets in the body
    uint64_t bitrate_bps = bitrate_for_packets_per_ms(2);
    // Byte offsets in the recording (head and body, part files counted as
    // one stream) whose byte is set to 0x00: sync damage when a multiple of 188.
    std::vector<uint64_t> sync_damage;
    uint64_t part_packets = 0;            // 0: one file; else packets per part file
    unsigned trailing_bytes = 0;          // 1..187: a partial packet behind the last one
};

// A PMT listing the recipe's streams, PCR PID as in the recipe.
PmtFields pmt_for(const Recipe& recipe, uint16_t pmt_pid = 0x64, uint16_t program_number = 1);

// A recording of one program as the receiver makes one: its QBXH record
// (PMT 0x64, video 0x100 with the PCR, audio 0x101, the given start and
// duration), EVNT, SHRT and CHNM packets with the given texts, PAT and PMT;
// then video (PES every 40 ms, PCR every 40 ms) and audio (PES every 24 ms),
// PAT and PMT every 100 ms, 2% null packets. body_packets is left to the caller.
struct ReceiverFields {
    uint16_t program_number = 1;
    uint16_t record_pmt_pid = 0x64;  // the PMT PID the header record names (0: none)
    uint64_t packets_per_ms = 2;
    uint16_t duration_s = 0;
    uint16_t mjd = 0;
    uint8_t start_hour = 0;
    uint8_t start_minute = 0;
    uint8_t video_type = 0x02;       // the video's stream type (0x1B: H.264), in the PMT and the record
    std::string event, short_text, channel;
};
Recipe receiver_recipe(const ReceiverFields& fields);

// The receiver's recording that the tests use most: channel, begun
// 2026-11-28 at 20:00, duration_s long by its record, body_packets packets
// behind its six head packets (2000 make a second).
Recipe dated_receiver_recipe(const std::string& channel = "", uint16_t duration_s = 1,
                             uint64_t body_packets = 3000);

// A recording without the receiver's packets: head, then a PAT of program 1
// on PMT 0x64 (as -fixpat generates it) and the PMT of the streams, then
// body_packets packets of video 0x100 and audio 0x101; the PCR on pcr_pid
// (0x100: with the video; another PID: alone).
Recipe tables_recipe(std::vector<Packet> head = {}, uint64_t body_packets = 3000, uint16_t pcr_pid = 0x100);

// Streaming: packets of the recording in order, block by block. The stream
// refers to the recipe, which must outlive it.
struct RecordingStream {
    const Recipe* recipe = nullptr;
    uint64_t index = 0;      // next packet of the recording (head and body)
    uint64_t end = 0;        // head.size() + body_packets
    uint64_t slot = 0;       // next body slot (its time)
    std::vector<uint64_t> damage;  // sorted sync_damage
    size_t next_damage = 0;
    // schedule
    uint64_t next_pcr_due = 0;
    bool pcr_pending = false;
    uint64_t next_repeat_due = 0;
    size_t repeat_left = 0;
    size_t repeat_pos = 0;
    struct Clock {
        uint64_t next_due = 0;
        bool pending = false;
        uint64_t pending_pts = 0;
        int64_t share = 0;
        Packet start{}, start_pcr{}, data{}, data_pcr{};
    };
    std::vector<Clock> clocks;
    int pcr_stream = -1;
    uint64_t null_owed = 0;
    std::array<uint8_t, 8192> continuity{};
};
// The stream of the whole recording, or with first_slot > 0 of a recording
// whose body starts that many slots in (no head packets; times and clocks as
// in the full recording at that point).
RecordingStream open_recording(const Recipe& recipe, uint64_t first_slot = 0);

std::vector<Packet> make_recording(const Recipe& recipe);  // no trailing bytes
Bytes recording_bytes(const Recipe& recipe);               // with trailing bytes, one stream

struct WriteResult {
    bool ok = false;
    std::string error;                 // what failed, with the path
    std::vector<std::string> files;    // part files written, in order
    uint64_t packets = 0;              // whole packets written
    uint64_t bytes = 0;                // bytes written or reserved, over all files
};
// Writes the recording to path (and its part files), block by block.
WriteResult write_recording(const Recipe& recipe, const std::string& path);

// The same for a recording of total_size / 188 packets: the recipe's head and
// head_packets body packets, then the last tail_packets body packets, with
// times and clocks as the full recording would have them there. sync_damage
// offsets are file offsets here; no part files, no trailing bytes.
WriteResult write_sparse_recording(const Recipe& recipe, const std::string& path,
                                   uint64_t total_size, uint64_t head_packets,
                                   uint64_t tail_packets);

}  // namespace varnek::build
