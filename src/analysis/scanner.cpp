#include "analysis/scanner.h"

#include <memory>
#include <string>

#include "analysis/capture.h"
#include "analysis/dry_writes.h"
#include "analysis/pid_stats.h"
#include "platform/platform.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

namespace {

// The six steps of one packet; the cheap tests stand here so that the
// common packet (no table, no clock, no new PID) costs a few compares.
inline __attribute__((always_inline)) void analyse(ScanState& state, const uint8_t* packet,
                                                   uint64_t offset, const RunOptions& options) {
    uint16_t key = packet_key(packet);
    unsigned row = count_packet(state, packet, key, offset, options);
    if (key == info_pid_key)
        capture_qbx(state, packet, offset, options);
    else if (state.head_run == HeadRun::open)
        state.head_run = HeadRun::closed;  // something else stands behind the receiver's packets
    // Key 0 is PID 0: QBX packets have a key of their own.
    if (key == 0 && !state.stored_pat) capture_pat(state, packet, offset, options);
    if (has_pcr(packet)) track_pcr(state, packet, row, options);
    if (packet[0] == sync_byte && has_pusi(packet) && has_payload_bit(packet)) {
        track_pes(state, packet, row, options);
        capture_pmt(state, packet, offset, options);
    }
}

}  // namespace

void analyse_packet(ScanState& state, const uint8_t* packet, uint64_t offset, const RunOptions& options) {
    analyse(state, packet, offset, options);
}

namespace {

// One part file, read block by block into the one reused buffer at a
// position the scanner keeps. A seek that cannot be made (before offset 0,
// or on a file that cannot seek) leaves the position where it was.
struct PartReader {
    InputFile* file;
    uint8_t* buffer;
    uint64_t position = 0;
};

void seek_forward(PartReader& reader, uint64_t bytes) {
    if (input_size(reader.file) >= 0) reader.position += bytes;
}

// To bytes before the end of the file (bytes = 0: to the end itself).
void seek_before_end(PartReader& reader, uint64_t bytes) {
    int64_t size = input_size(reader.file);
    if (size >= int64_t(bytes)) reader.position = uint64_t(size) - bytes;
}

// What follows a block: -all reads on; the head pass jumps to the tail once
// it has a PMT, a PCR and a PES start; the tail pass ends once it has a PCR
// and a PES start, else it steps back a block.
enum class Next { forward, to_tail, finish, step_back };

Next next_after_block(const ScanState& state, const RunOptions& options) {
    if (options.all_packets) return Next::forward;
    if (state.pass.head_pass)
        return state.stored_pmt && state.pass.seen_pcr && state.pass.seen_pes ? Next::to_tail : Next::forward;
    return state.pass.seen_pcr && state.pass.seen_pes ? Next::finish : Next::step_back;
}

// Analyses the synchronised packets of one block; returns k, the bytes the
// last packet position lies beyond the analysed part (non-zero only after a
// resync inside the block).
uint64_t scan_block(ScanState& state, const uint8_t* block, uint64_t count, uint64_t block_offset,
                    const RunOptions& options) {
    // The last packets of a block are read again with the next block: the
    // test of a packet needs the two behind it.
    const uint64_t m = (count - block_overlap_packets) * packet_size;
    uint64_t pos = 0;
    // After a packet passed the test, the next one's first two sync bytes
    // are known good: only the third needs a look.
    bool two_known = false;
    bool count_only = state.head_run != HeadRun::open;
    while (pos < m) {
        if (!(two_known || (block[pos] == sync_byte && block[pos + packet_size] == sync_byte)) ||
            block[pos + sync_look_ahead] != sync_byte) {
            two_known = false;
            if (state.pass.in_sync) {
                // The line break in front ends a line left open before.
                clear_status();
                std::fprintf(console().err, "\nSync lost at %08llX",
                             static_cast<unsigned long long>(block_offset + pos));
                console().err_line_open = true;
                state.pass.in_sync = false;
                state.sync_losses.push_back(SyncLoss{state.current_part, block_offset + pos, false, 0});
            }
            ++pos;
            continue;
        }
        // A packet taken right before keeps the scan in sync.
        if (!two_known && !state.pass.in_sync) {
            std::fprintf(console().err, " ==> ReSync at %08llX\n",
                         static_cast<unsigned long long>(block_offset + pos));
            console().err_line_open = false;
            state.pass.in_sync = true;
            if (!state.sync_losses.empty()) {
                state.sync_losses.back().resynced = true;
                state.sync_losses.back().resync = block_offset + pos;
            }
        }
        const uint8_t* packet = block + pos;
        pos += packet_size;
        two_known = true;
        // The common packet only counts: no PUSI, no adaptation field, a PID
        // with its row, not the PAT's, and no run of the receiver's packets
        // open that it would close. It takes the six steps' result in a few
        // compares; every other packet takes the steps.
        // PID 0 has no entry in row_of_key.
        const uint32_t head = header_word(packet);
        if (count_only && common_for_scan(head)) {
            const unsigned row = row_of_header(state, head);
            if (row != 0) {
                ++state.pid_table.rows[row - 1].count;
                // A run of common packets: each needs only its third sync
                // byte, its header and its row.
                while (pos < m && block[pos + sync_look_ahead] == sync_byte) {
                    const uint32_t h = header_word(block + pos);
                    if (!common_for_scan(h)) break;
                    const unsigned r = row_of_header(state, h);
                    if (r == 0) break;
                    ++state.pid_table.rows[r - 1].count;
                    pos += packet_size;
                }
                continue;
            }
        }
        analyse(state, packet, block_offset + pos - packet_size, options);
        count_only = state.head_run != HeadRun::open;
    }
    return pos - m;
}

// dry: the writes a -dry run would have made into this file, laid over
// every block read; null in every other run.
void scan_part(InputFile* file, const char* part_name, const RunOptions& options, ScanState& state,
               uint8_t* buffer, const DryFile* dry) {
    state.pass = PassFlags{};
    if (options.progress) std::fprintf(console().out, "Analyse: '%s' BEG", shown(part_name, console().out).c_str());
    std::fflush(console().out);
    PartReader reader{file, buffer};
    if (options.all_packets) advise_sequential(file);

    for (;;) {
        uint64_t block_offset = reader.position;
        size_t bytes = read_input(file, block_offset, buffer, block_bytes);
        if (dry) lay_over(*dry, block_offset, buffer, bytes);
        uint64_t count = bytes / packet_size;
        if (count <= block_overlap_packets) break;
        // A short read moves over a trailing partial packet too; the next
        // read then finds nothing more.
        reader.position += bytes;
        state.block_end_position = reader.position;
        uint64_t k = scan_block(state, buffer, count, block_offset, options);

        const char* next_marker = ".";
        switch (next_after_block(state, options)) {
            case Next::forward:
                if (k != 0) seek_forward(reader, k);
                break;
            case Next::to_tail:
                progress_marker(options, ".SEEK.");
                std::fflush(console().out);
                // Not possible in a file shorter than a block: the position stays at its end.
                seek_before_end(reader, block_bytes);
                state.pass.head_pass = false;
                state.pass.seen_pcr = false;
                state.pass.seen_pes = false;
                continue;  // the tail's first block follows without a marker
            case Next::finish:
                seek_before_end(reader, 0);
                next_marker = "END";
                break;
            case Next::step_back: {
                uint64_t back = 2 * block_bytes + k;
                // A step back before the file's start would never end the pass:
                // the part file is finished instead.
                if (reader.position < back)
                    seek_before_end(reader, 0);
                else if (input_size(file) >= 0)
                    reader.position -= back;
                break;
            }
        }
        progress_marker(options, next_marker);
    }
    close_input(file);
    progress_marker(options, " done\n");
}

}  // namespace

void scan_recording(const char* name, InputFile* first_file, const RunOptions& options, ScanState& state,
                    const DryWrites* dry_writes) {
    // One reused block buffer for the whole recording.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[block_bytes]);
    walk_parts(state, name, first_file,
               [&](InputFile* file, unsigned, const std::string& part_name, const FileId* id) {
                   scan_part(file, part_name.c_str(), options, state, buffer.get(),
                             id ? dry_updates_of(dry_writes, *id) : nullptr);
               });
}

}  // namespace varnek
