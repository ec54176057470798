// Packet counts per PID and the PCR and PTS clocks of each PID.
#pragma once

#include <cstdint>

#include "analysis/scan_state.h"
#include "util/run_options.h"

namespace varnek {

constexpr unsigned no_row = pid_table_rows;

// The packet's key: its PID, or info_pid_key for a QBX packet.
uint16_t packet_key(const uint8_t* packet);

// Finds or takes the row of the packet's key and counts the packet; returns
// the row, or no_row when all rows belong to other keys.
unsigned count_packet(ScanState& state, const uint8_t* packet, uint16_t key, uint64_t offset,
                      const RunOptions& options);

// For a packet with a PCR: first/last PCR, the ".PCR." marker, jump and rate lines.
void track_pcr(ScanState& state, const uint8_t* packet, unsigned row, const RunOptions& options);

// For a packet with PUSI and payload: PES start, first/last PTS, ".PTS.", jump lines.
void track_pes(ScanState& state, const uint8_t* packet, unsigned row, const RunOptions& options);

}  // namespace varnek
