// -get: and -put:, the copy of the first packet out of and into a recording.
#pragma once

#include "analysis/scan_state.h"
#include "util/run_options.h"

namespace varnek {

void copy_header_out(ScanState& state, const RunOptions& options);
void copy_header_in(ScanState& state, const RunOptions& options, const char* name);

}  // namespace varnek
