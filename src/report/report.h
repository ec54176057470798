// The report of a scanned recording and its one-line summary.
#pragma once

#include <cstdint>

#include "analysis/scan_state.h"
#include "analysis/summary.h"
#include "util/run_options.h"

namespace varnek {

// The full report, with the summary of the same state; start_clock is when
// the recording's reading began (clock_ms), for the report's test time.
void print_report(const ScanState& state, const Summary& summary, const RunOptions& options, int64_t start_clock);

// The -list line for the recording named on the command line.
void print_list_line(const ScanState& state, const char* name);

}  // namespace varnek
