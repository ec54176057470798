#include "analysis/pid_stats.h"

#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

unsigned count_packet_search(ScanState& state, const uint8_t* packet, uint16_t key, uint64_t offset,
                             const RunOptions& options) {
    auto& rows = state.pid_table.rows;
    for (unsigned i = 0; i < pid_table_rows; ++i) {
        PidSlot& slot = rows[i];
        if (slot.key == key) {
            ++slot.count;
            return i;
        }
        if (slot.key == no_pid_key) {
            slot.key = key;
            slot.count = 1;
            // PID 0 keeps to the search: the first packet there may be the PAT to store.
            unsigned index = key == info_pid_key ? qbx_row_index : key;
            if (index < state.row_of_key.size() && key != 0) state.row_of_key[index] = uint8_t(i + 1);
            if (options.hex) {
                std::fprintf(console().out, "\n%08llX %u\n", static_cast<unsigned long long>(offset),
                             unsigned(key));
                hex_dump(packet);
            }
            return i;
        }
    }
    return no_row;
}

void track_pcr(ScanState& state, const uint8_t* packet, unsigned row, const RunOptions& options) {
    std::FILE* out = console().out;
    uint32_t v = pcr_ms(packet);
    if (!state.pass.seen_pcr) {
        state.pass.seen_pcr = true;
        progress_marker(options, ".PCR.");
    }
    if (row == no_row) return;
    PidSlot& slot = state.pid_table.rows[row];
    bool verbose = options.progress && options.all_packets;
    if (slot.first_pcr == 0) {
        slot.first_pcr = v;
    } else if (verbose) {
        int64_t d = int64_t(v / 1000) - int64_t(slot.last_pcr / 1000);
        if (d > 1 || d < -1) {
            std::fprintf(out, "PCR jump: %u %s", unsigned(packet_pid(packet)), format_ms(slot.last_pcr));
            std::fprintf(out, " %s\n", format_ms(v));
        }
    }
    slot.last_pcr = v;

    if (verbose && state.stored_pmt && slot.key == pmt_pcr_pid(state.stored_pmt.data()) &&
        slot.count % 1000 == 0 && slot.first_pcr != 0) {
        double position = double(state.block_end_position);
        uint32_t d = v - slot.first_pcr;
        std::fprintf(out, "PCR: %s", format_ms(v));
        std::fprintf(out, " %s %.3lf\n", format_ms(d), position / double(d));
        uint32_t e = slot.last_pts - slot.first_pts;
        std::fprintf(out, "PTS: %s", format_ms(slot.last_pts));
        std::fprintf(out, " %s %.3lf\n", format_ms(e), position / double(e));
    }
}

void track_pes(ScanState& state, const uint8_t* packet, unsigned row, const RunOptions& options) {
    if (pes_start_offset(packet) == 0) return;
    std::FILE* out = console().out;
    uint32_t v = pts_ms(packet);
    if (!state.pass.seen_pes) {
        state.pass.seen_pes = true;
        progress_marker(options, ".PTS.");
    }
    if (row == no_row) return;
    PidSlot& slot = state.pid_table.rows[row];
    if (slot.first_pts == 0) {
        slot.first_pts = v;
    } else if (options.progress && options.all_packets) {
        int64_t d = int32_t(v - slot.last_pts);
        if (d > 10000 || d < -10000) {
            std::fprintf(out, "PTS jump: %u %s", unsigned(packet_pid(packet)), format_ms(slot.last_pts));
            std::fprintf(out, " %s\n", format_ms(v));
        }
    }
    slot.last_pts = v;
}

}  // namespace varnek
