// -fixpat: writes a generated single-program PAT behind the receiver's own
// packets at the head of the recording.
#pragma once

#include "analysis/scan_state.h"
#include "analysis/summary.h"
#include "repair/session.h"
#include "util/run_options.h"

namespace varnek {

// The PAT for the program number and PMT PID of a QBXH record.
TsPacket build_pat(const uint8_t* record);

void fix_pat(const ScanState& state, const Summary& summary, RepairSession& session, const RunOptions& options,
             const char* name);

}  // namespace varnek
