// -salvage:<file>: a clean copy of a damaged recording in one new file; the
// recording itself is only read.
#pragma once

#include <string>
#include <vector>

#include "analysis/scan_state.h"
#include "analysis/summary.h"
#include "repair/session.h"
#include "util/run_options.h"

namespace varnek {

// Writes the new file of the recording name, whose scan and summary are in
// state: the receiver's packets at its head (a generated header record in
// front when the scan found none), a generated PAT and a copy of the first
// PMT when no PAT follows them, then every whole packet in sync of every
// part file, in one forward pass, without the packets with which a part
// repeats the end of the part before. The file is options.salvage_file, or
// a file of the recording's name in that folder when several recordings
// are named or it is a folder. Prints one line and the new file's verdict;
// false when the salvage failed, with its error line printed.
bool salvage_recording(const ScanState& state, const Summary& summary, RepairSession& session,
                       const RunOptions& options, const char* name, const std::vector<const char*>& recordings);

// The part files of a recording in order: the name itself, then name1,
// name2, ...; a missing number is passed over when one of the next ten exists.
std::vector<std::string> salvage_parts(const std::string& name);

}  // namespace varnek
