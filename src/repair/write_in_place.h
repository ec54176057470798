// Updates in place keep the file's access and modification times, and save
// what they overwrite first: every write into a recording goes through
// write_in_place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "analysis/scan_state.h"
#include "repair/session.h"
#include "platform/platform.h"
#include "util/run_options.h"

namespace varnek {

// The times of one file, noted before it is opened for update and put back
// after it is closed.
struct TimesKeeper {
    std::string path;
    std::optional<FileTimes> times;  // none: the status could not be read, nothing to restore
};

TimesKeeper note_times(const std::string& path);
// False when the times could not be put back.
bool restore_times(const TimesKeeper& keeper);

enum class WriteOutcome {
    written,      // or, with -dry, would have been
    not_opened,   // the part file cannot be opened for update
    not_written,  // the write could not be made (file-size limit, disk full); nothing changed
    not_saved,    // the undo data could not be saved; nothing changed, the error line is printed
};

// Writes count bytes at offset into part file `part` of the recording in
// one write, after saving the bytes it overwrites in the run's undo file.
// The file's times are kept; when they cannot be, an error line says so.
// Says what came of a write: nothing when it was made (true), else the
// error line of why not, "Can't reopen '<file>' for writing" or the
// not_written text; none when the undo data could not be saved, whose line
// is printed already.
bool write_told(RepairSession& session, WriteOutcome outcome, const char* action, const std::string& file,
                const char* not_written);

WriteOutcome write_in_place(const ScanState& state, RepairSession& session, const RunOptions& options,
                            const char* recording, unsigned part, uint64_t offset, const uint8_t* bytes, size_t count,
                            const char* action);

}  // namespace varnek
