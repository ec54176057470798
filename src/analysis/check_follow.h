// What -check follows while it reads, shared by its reading pass
// (check.cpp) and its table and stream rules (check_tables.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/check.h"
#include "ts/packet.h"

namespace varnek {

constexpr unsigned check_pids = 8192;
constexpr uint64_t clock_wrap = uint64_t(1) << 33;  // 90 kHz ticks
constexpr int64_t ticks_per_ms = 90;

// The follow word of a PID: the place of its last packet (bytes into the
// recording, its part files one after the other) from bit 16, mode bits,
// and the continuity counter of its last packet with payload in bits 0 to 3. The common packet only
// compares the low 16 bits with mode_seen and the counter before its own.
constexpr uint64_t mode_seen = 0x100;       // a counter was seen
constexpr uint64_t mode_repeated = 0x200;   // the last packet repeated the one before
constexpr uint64_t mode_tables = 0x400;     // its sections are put together: no packet is common
constexpr uint64_t mode_scrambled = 0x800;  // a run of scrambled packets is open
constexpr uint64_t mode_other = 0x1000;     // a packet without payload showed another counter, in bits 4 to 7
inline uint64_t follow_place(uint64_t word) { return word >> 16; }

// Where a packet lies, and the stream clock when it was read.
struct Where {
    unsigned part = 0;
    uint64_t offset = 0;  // in the part file
    uint64_t at = 0;      // in the recording
    int64_t time_ms = -1;
};

// The recording time: ticks from the first PCR of the PCR PID, carried
// from PCR to PCR and between them by the bytes read at the last rate.
struct RecordingClock {
    bool started = false;
    uint64_t last_pcr = 0;
    uint64_t last_at = 0;      // recording byte of the last PCR
    unsigned last_part = 0;    // its part file
    int64_t elapsed = 0;       // ticks at the last PCR
    double ticks_per_byte = 0;
};

// A section put together across the packets of one PID. Sections are at
// most 4096 bytes (3 of header, a length of at most 4093).
constexpr unsigned section_bytes_max = 4096;
struct SectionBuffer {
    std::unique_ptr<uint8_t[]> bytes{new uint8_t[section_bytes_max]};
    unsigned have = 0;
    bool collecting = false;
    Where start;
};

// A table whose sections must come at least every 500 ms: the PAT, or a
// PMT on a PID the PAT names.
struct TableTimer {
    uint16_t pid = 0;
    bool named = true;         // PMTs: the latest PAT names the PID
    bool seen = false;         // a section of the table came
    int64_t last = 0;          // recording ticks of the latest section
    bool late = false;         // the gap since then is counted
    uint32_t crc = 0;          // of the latest section taken in (tables are read when it changes)
    bool read = false;
    std::vector<uint16_t> streams;  // PMTs: the stream PIDs it lists
};

// A video or audio stream of a PMT.
struct AvStream {
    uint16_t pid = 0;
    uint16_t pmt_pid = 0;
    bool listed = true;        // in the PMT now
    uint64_t place = 0;        // follow place of its last packet, as last looked at
    int64_t since = 0;         // recording ticks of that packet (or of the PMT that listed it)
    bool gap_counted = false;
    bool has_pts = false;
    int64_t last_pts = 0;      // recording ticks of its last PES start with a PTS
};

// At most this many PMT PIDs and streams are followed: the memory does not
// grow with what a recording holds.
constexpr unsigned followed_pmts = 64;
constexpr unsigned followed_streams = 64;

struct Follow {
    std::array<uint64_t, check_pids> word{};
    // PCRs per PID.
    std::array<uint64_t, check_pids> last_pcr{};
    std::array<int64_t, check_pids> last_pcr_part{};  // -1: none yet
    std::array<uint64_t, check_pids> first_pcr{};
    std::array<bool, check_pids> has_first_pcr{};
    int first_pcr_pid = -1;                 // the first PID that carried a PCR
    int64_t time_ms = -1;                   // latest PCR on the PCR PID
    bool join_pending = false;              // the next part's first PCR is compared with join_from
    uint64_t join_from = 0;
    RecordingClock clock;

    // The read buffer: its first byte's place in the recording.
    const uint8_t* buffer = nullptr;
    uint64_t buffer_at = 0;
    // Every PID with a counter, and a copy of its last packet once the
    // buffer no longer holds it, for telling a repeated packet.
    std::vector<uint16_t> active;
    std::array<uint16_t, check_pids> saved_slot{};  // slot + 1; 0: none
    std::vector<TsPacket> saved;
    std::vector<uint64_t> saved_at;

    // Packets of PIDs beyond the PID list's rows, and problems per PID.
    std::array<uint64_t, check_pids> unrowed{};
    std::array<uint16_t, check_pids> problem_slot{};  // slot + 1
    std::vector<std::array<uint64_t, check_kinds>> pid_counts;
    std::vector<uint16_t> problem_pids;

    // Tables and streams.
    std::array<uint8_t, check_pids> section_slot{};   // slot + 1
    std::vector<SectionBuffer> sections;
    TableTimer pat;
    std::vector<TableTimer> pmts;
    std::array<uint8_t, check_pids> pmt_slot{};       // slot + 1
    std::array<uint16_t, check_pids> stream_of_pmt{}; // PMT PID + 1 of a PID a PMT lists
    std::vector<AvStream> streams;
    std::array<uint8_t, check_pids> stream_slot{};    // slot + 1
    int stored_pmt_pid = -1;                          // the analysis's PMT, whose sections are read too

    // The longest run in sync so far decides whether it is a transport stream.
    bool sync_found = false;
};

// Ticks from the first PCR at recording byte at; -1 before the first PCR.
int64_t recording_ticks(const Follow& f, uint64_t at);

// Counts a problem and keeps it (up to check_problems_kept per kind).
void note(Follow& f, CheckResult& result, CheckKind kind, const Where& where, int pid, std::string detail);

// The sections of PID 0, 1, 0x10 to 0x14 and of the PMT PIDs are put
// together from the start.
void follow_fixed_tables(Follow& f);
// A packet on a PID with mode_tables; broken: its counter shows packets lost.
void follow_sections(const uint8_t* packet, unsigned pid, bool broken, const Where& where, Follow& f,
                     CheckResult& result);
// A packet whose payload cannot be taken: the section begun is lost.
void abandon_section(unsigned pid, Follow& f);
// A PID the analysis took a PMT from, whose sections are put together too.
void follow_pmt_pid(unsigned pid, Follow& f);
// At each PCR of the PCR PID: the tables and streams that stay away too long.
void check_timers(const Where& where, Follow& f, CheckResult& result);
// A PES start on a video or audio PID.
void check_pes_start(const uint8_t* packet, unsigned pid, const Where& where, Follow& f, CheckResult& result);
// Scrambling bits on PID 0, a PMT PID or a stream PID of a PMT.
void check_scrambling(const uint8_t* packet, unsigned pid, const Where& where, Follow& f, CheckResult& result);

}  // namespace varnek
