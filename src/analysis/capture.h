// Keeps the packets the report and the repairs need: the first QBXH record,
// the first PAT and the latest PMT; handles the texts of the QBX packets.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/scan_state.h"
#include "util/run_options.h"

namespace varnek {

// For every QBX packet (key info_pid_key).
void capture_qbx(ScanState& state, const uint8_t* packet, uint64_t offset, const RunOptions& options);

// For every packet: keeps the first one on PID 0.
void capture_pat(ScanState& state, const uint8_t* packet, uint64_t offset, const RunOptions& options);

// For packets with PUSI and payload: keeps the latest PMT, reports changes.
void capture_pmt(ScanState& state, const uint8_t* packet, uint64_t offset, const RunOptions& options);

// The recording's start in local time as "YYYY-MM-DD-HH-MM", and printed
// so (no line break).
std::string start_stamp(const uint8_t* record);
void print_start_stamp(const uint8_t* record);

}  // namespace varnek
