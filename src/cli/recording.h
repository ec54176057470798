// The work of a run on its recordings, one function per mode: -undo, and
// reading them (-check, -prn:, -list, or the report and the repairs).
#pragma once

#include <string>
#include <vector>

#include "util/run_options.h"

namespace varnek {

// -undo for every recording; returns the exit code.
int undo_recordings(const std::vector<std::string>& names, const RunOptions& options);

// Reads every recording in the mode the options ask for; returns the exit code.
int read_recordings(const std::vector<std::string>& names, const RunOptions& options);

}  // namespace varnek
