// -get: and -put:, the copy of the first packet out of and into a recording.
#pragma once

#include <vector>

#include "analysis/scan_state.h"
#include "analysis/summary.h"
#include "repair/session.h"
#include "util/run_options.h"

namespace varnek {

// recordings: every recording named on the command line, none of which
// -get: may write over.
void copy_header_out(const ScanState& state, const Summary& summary, RepairSession& session, const RunOptions& options,
                     const std::vector<const char*>& recordings);
void copy_header_in(const ScanState& state, const Summary& summary, RepairSession& session, const RunOptions& options,
                    const char* name);

}  // namespace varnek
