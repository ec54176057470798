// Packet counts per PID and the PCR and PTS clocks of each PID.
#pragma once

#include <cstdint>

#include "analysis/scan_state.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/run_options.h"

namespace varnek {

constexpr unsigned no_row = pid_table_rows;

// The packet's key: its PID, or info_pid_key for a QBX packet.
inline uint16_t packet_key(const uint8_t* packet) {
    return is_qbx_packet(packet) ? info_pid_key : packet_pid(packet);
}

// The row search of count_packet for a key met for the first time.
unsigned count_packet_search(ScanState& state, const uint8_t* packet, uint16_t key, uint64_t offset,
                             const RunOptions& options);

// Finds or takes the row of the packet's key and counts the packet; returns
// the row, or no_row when all rows belong to other keys.
inline unsigned count_packet(ScanState& state, const uint8_t* packet, uint16_t key, uint64_t offset,
                             const RunOptions& options) {
    // One load finds the row of a known key; the search runs once per key.
    unsigned index = key == info_pid_key ? qbx_row_index : key;
    if (index < state.row_of_key.size()) {
        unsigned row = state.row_of_key[index];
        if (row != 0) {
            ++state.pid_table.rows[row - 1].count;
            return row - 1;
        }
    }
    return count_packet_search(state, packet, key, offset, options);
}

// For a packet with a PCR: first/last PCR, the ".PCR." marker, jump and rate lines.
void track_pcr(ScanState& state, const uint8_t* packet, unsigned row, const RunOptions& options);

// For a packet with PUSI and payload: PES start, first/last PTS, ".PTS.", jump lines.
void track_pes(ScanState& state, const uint8_t* packet, unsigned row, const RunOptions& options);

}  // namespace varnek
