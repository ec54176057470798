// The JSON object of a recording: one line of JSON Lines with everything
// the report, the list line and the repairs tell, for scripts.
#pragma once

#include <string>

#include "analysis/check.h"
#include "analysis/summary.h"
#include "repair/session.h"
#include "analysis/scan_state.h"
#include "util/run_options.h"

namespace varnek {

// The object of a scanned recording: what the scan found, -check's verdict,
// counts, problems and PIDs under the key "check" (check: null without
// -check), and the repairs' messages (session: null where the mode makes
// none).
std::string json_recording(const char* name, const ScanState& state, const Summary& summary,
                           const RunOptions& options, const CheckResult* check, const RepairSession* session);

// The object of a recording that could not be opened (with -check, its
// verdict "unreadable").
std::string json_unreadable(const char* name, const std::string& error, const RunOptions& options);

// -check's last object when it read more than one recording:
// {"summary": {"recordings", "intact", "damaged", "unreadable", "not_ts"}}.
std::string json_check_summary(const CheckTally& tally);

// The object of -prn: mode: the tag and the texts found.
std::string json_prn(const char* name, const ScanState& state, const RunOptions& options,
                     const std::string& error = std::string());

// The object of -undo for one recording: packets written back, the date
// of the repair taken back (made: seconds since the epoch; none without
// one) and the first error, if any.
std::string json_undo(const char* name, size_t undone, bool dated, int64_t made, const std::string& error);

}  // namespace varnek
