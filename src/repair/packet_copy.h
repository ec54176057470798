// -get: and -put:, the copy of the first packet out of and into a recording.
#pragma once

#include <vector>

#include "analysis/scan_state.h"
#include "util/run_options.h"

namespace varnek {

// recordings: every recording named on the command line, none of which
// -get: may write over.
void copy_header_out(ScanState& state, const RunOptions& options, const std::vector<const char*>& recordings);
void copy_header_in(ScanState& state, const RunOptions& options, const char* name);

}  // namespace varnek
