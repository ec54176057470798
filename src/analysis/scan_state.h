// All that the scan of one recording produces, read afterwards by the
// report and the repairs.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "ts/packet.h"

namespace varnek {

constexpr unsigned pid_table_rows = 32;
constexpr unsigned qbx_row_index = 8192;

struct PidSlot {
    uint16_t key = no_pid_key;  // 13-bit PID, info_pid_key for QBX packets; no_pid_key = free
    uint32_t count = 0;
    uint32_t first_pts = 0;     // ms; 0 = none yet
    uint32_t last_pts = 0;
    uint32_t first_pcr = 0;
    uint32_t last_pcr = 0;
};

struct PidTable {
    std::array<PidSlot, pid_table_rows> rows;
};

// A stored copy of a packet together with where the scan found it: the
// part file (0 = the recording's first file) and the offset within it.
struct StoredPacket {
    std::unique_ptr<TsPacket> bytes;
    uint64_t offset = 0;
    unsigned part = 0;
    explicit operator bool() const { return bytes != nullptr; }
    const uint8_t* data() const { return bytes->data(); }
};

// A part file as the scan read it; size -1 when the file cannot tell.
struct PartFile {
    std::string name;
    int64_t size = -1;
};

// A "Sync lost" place and its "ReSync", offsets in the part file.
struct SyncLoss {
    unsigned part = 0;
    uint64_t offset = 0;
    bool resynced = false;
    uint64_t resync = 0;
};

// Where the scan of one part file is: in the head pass or the tail's,
// whether a PCR and a PES start were seen in it, and whether the packets
// are in sync.
struct PassFlags {
    bool head_pass = true;
    bool seen_pcr = false;
    bool seen_pes = false;
    bool in_sync = true;
};

// Where the receiver's own packets at the head of the first part file end.
enum class HeadRun { none, open, closed };

struct ScanState {
    PidTable pid_table;
    StoredPacket stored_header;   // first QBXH record
    uint64_t last_qbx_offset = 0; // last QBX packet of any tag
    unsigned last_qbx_part = 0;
    StoredPacket stored_pat;      // first packet on PID 0; offset is pat_offset
    StoredPacket stored_pmt;      // latest PMT; offset and part are those of the first
    std::string channel_name;     // latest CHNM text, at most 32 characters
    bool channel_seen = false;    // a CHNM text was taken into channel_name
    bool qbx_seen = false;        // last_qbx_offset and last_qbx_part hold a QBX packet's place
    // The text of the first QBX packet of each tag, CHNM, EVNT and SHRT, in
    // that order; empty with its flag off while none was seen.
    std::array<std::string, 3> first_texts;
    std::array<bool, 3> first_text_seen{};

    // Per part file.
    PassFlags pass;

    // The first run of adjacent QBX packets that starts in the first block
    // of the first part file; head_run_end is the offset of its last packet.
    HeadRun head_run = HeadRun::none;
    uint64_t head_run_end = 0;

    // Filled by the scanner: which part file is being read, the file
    // position after the current block's read, and the identity of every
    // part file read (for refusing to overwrite one of them).
    unsigned current_part = 0;
    uint64_t block_end_position = 0;
    std::vector<FileId> part_ids;
    std::vector<PartFile> parts;
    std::vector<SyncLoss> sync_losses;
    // -prn: the texts of the tag asked for, kept instead of printed where
    // the output is JSON.
    std::vector<std::string> prn_texts;

    // The row of each key seen (row + 1; 0 = none yet), indexed by PID, with
    // the QBX packets' key at qbx_row_index.
    std::array<uint8_t, 8193> row_of_key{};
};

// The PID-list row (row + 1; 0 = none) of a packet's header word. PID 0 has
// no entry: the PAT always takes the full way.
inline unsigned row_of_header(const ScanState& s, uint32_t head) { return s.row_of_key[header_pid(head)]; }

inline uint64_t pat_offset(const ScanState& s) { return s.stored_pat.offset; }
inline uint64_t pmt_offset(const ScanState& s) { return s.stored_pmt.offset; }

// Replaces a stored copy with a copy of packet (the old one is released).
void store_packet(StoredPacket& slot, const uint8_t* packet, uint64_t offset, unsigned part);

// Where a walk over the part files ended: the name of the first part file
// it could not open, and whether that one is there but no regular file (a
// FIFO or a device would never end; the error line is out already).
struct PartsEnd {
    std::string next;
    bool not_regular = false;
};

// Opens part file part_name (1, 2, ...) of a recording: a regular file only.
// Null when it is missing or cannot be opened, and after the error line
// when it is something else.
InputFile* open_next_part(const std::string& part_name, bool& not_regular);

// Notes part file number part, open as file under part_name, as the one the
// scan reads now: its number, identity and size. False (id untouched) when
// the file cannot tell its identity.
bool begin_part(ScanState& state, unsigned part, const std::string& part_name, InputFile* file, FileId& id);

// The name of part file number part (0: the recording's own name).
std::string part_file_name(const std::string& recording, unsigned part);

// The one walk of the scan and the check over a recording's part files,
// from first_file (part 0, open already) on: each is noted as the one read
// now and handed to read_part(file, part, name, id or null), which closes
// it. Ends before the first part file that cannot be opened.
template <typename ReadPart>
PartsEnd walk_parts(ScanState& state, const std::string& name, InputFile* first_file, ReadPart read_part) {
    InputFile* file = first_file;
    for (unsigned part = 0;; ++part) {
        const std::string part_name = part_file_name(name, part);
        FileId id;
        const bool identified = begin_part(state, part, part_name, file, id);
        read_part(file, part, part_name, identified ? &id : nullptr);
        PartsEnd end{part_file_name(name, part + 1)};
        file = open_next_part(end.next, end.not_regular);
        if (!file) return end;
    }
}

}  // namespace varnek
