// -check's text: the lines of one recording and the run's last line.
#pragma once

#include "analysis/check.h"
#include "analysis/scan_state.h"

namespace varnek {

// The text lines: the problems (at most 20 per kind, then how many more),
// the table of PIDs of a recording that is not intact, and the verdict line.
void print_check(const char* name, const ScanState& state, const CheckResult& result);

// "320 recordings: 274 intact, 45 damaged, 1 unreadable" (and how many are
// not a transport stream, when any), as the last line of the run.
void print_check_summary(const CheckTally& tally);

}  // namespace varnek
