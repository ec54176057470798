// -fixqbx: writes a generated QBXH record as first packet, or corrects the
// PMT PID of a stored record that names none.
#pragma once

#include "analysis/scan_state.h"
#include "analysis/summary.h"
#include "repair/session.h"
#include "util/run_options.h"

namespace varnek {

// Builds the record from the scan and the report's derived values.
TsPacket build_header(const ScanState& state, const Summary& summary);
// The same with the program, PCR PID and PMT PID of the PMT packet pmt.
TsPacket build_header(const ScanState& state, const Summary& summary, const uint8_t* pmt);

void fix_header(const ScanState& state, const Summary& summary, RepairSession& session, const RunOptions& options,
                const char* name);

}  // namespace varnek
