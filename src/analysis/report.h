// The report of a scanned recording and its one-line summary.
#pragma once

#include "analysis/scan_state.h"
#include "util/run_options.h"

namespace varnek {

// The full report; also derives duration, video_pid, audio_pid and the
// stream list, which the repairs need.
void print_report(ScanState& state, const RunOptions& options);

// The -list line for the recording named on the command line.
void print_list_line(const ScanState& state, const char* name);

}  // namespace varnek
