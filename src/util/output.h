// The console: every line the tool prints goes through these helpers and
// the two streams of console(), which tests may point elsewhere.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "util/run_options.h"

namespace varnek {

struct Console {
    std::FILE* out;
    std::FILE* err;
    bool out_is_terminal = false;  // set by the cli: a person reads out or err
    bool err_is_terminal = false;
    bool out_discarded = false;    // set by the cli: out goes to the null device, which nobody reads
    unsigned long error_lines = 0; // counted by report_error, so that the cli sees a step fail
    std::FILE* packets = nullptr;  // -get:- : the standard output, while out points to err
    bool err_line_open = false;    // err's last line lacks its end (a "Sync lost" without its "ReSync")
    size_t status_width = 0;       // characters of the status line on err (show_status); 0: none
};

// The streams in use; stdout and stderr unless a test redirected them.
Console& console();

// Text from a recording or a file name as it may be printed on stream: on
// a terminal, control characters show as '?' (they could steer it); into a
// pipe or a file the text passes unchanged, since scripts read it.
std::string shown(const std::string& text, std::FILE* stream);

// A text from a recording as shown(): at a terminal, a text that is not
// valid UTF-8 is read as ISO 8859-1 first, as the JSON object reads it.
std::string shown_text(const std::string& text, std::FILE* stream);

// One line of status on the console's err, rewritten in place by the next
// call; for a terminal only (the caller asks). clear_status erases it, and
// every other line on err does so first.
void show_status(const std::string& text);
void clear_status();

// Makes way for a new line on err: erases a status line and ends a line
// that lacks its end.
void begin_err_line();

// Writes a progress marker on the console's out and flushes it at once, so
// that whoever reads the output sees the scan move. Output that goes to the
// null device is not flushed: nobody reads it, and a flush per block is a
// system call per block.
void progress_marker(const char* text);
// The same, only where the run shows the scan's progress (-v).
void progress_marker(const RunOptions& options, const char* text);

// "no PTS" for 0, else "HH:MM:SS.mmm" with hours unbounded. The text lives
// in a static buffer that the next call overwrites.
const char* format_ms(uint32_t ms);

// "HH:MM:SS" of a number of seconds, static buffer as for format_ms.
const char* format_hms(uint32_t seconds);

// The label of an elementary stream type ("unknown" for unlisted types).
const char* stream_type_name(uint8_t type);

// Dumps 188 bytes as 12 rows of 16 (the last of 12) on the console's out.
void hex_dump(const uint8_t* packet);

// The text of a printf-style format and its arguments, of any length.
std::string format_text(const char* format, va_list args);

// Prints "Error: <message>!" and a line break on the console's err stream
// and flushes it, and counts the line. The message may have any length.
void report_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace varnek
