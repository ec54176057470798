// Undo files: what the repairs of one run overwrite in a recording, saved
// before the first byte is written, and -undo, which writes it back.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/scan_state.h"
#include "platform/platform.h"
#include "util/run_options.h"

namespace varnek {

// The folder of the undo files: $VARNEK_UNDO_DIR, else
// $XDG_STATE_HOME/varnek/undo, else ~/.local/state/varnek/undo; empty when
// none can be named.
std::string undo_folder();

// Adds to the run's undo file of the recording the part file's identity and
// times (once per part file) and the bytes at offset before and after the
// write, and flushes the file to the disk. False when it cannot be saved.
bool save_undo(ScanState& state, const char* recording, unsigned part, uint64_t offset, const uint8_t* old_bytes,
               const uint8_t* new_bytes, size_t count, const FileTimes& times, int64_t size);

// -undo for one recording: checks and writes back its latest undo file,
// restores the times and prints one line; error lines when it cannot.
void undo_recording(const char* recording, const RunOptions& options);

}  // namespace varnek
