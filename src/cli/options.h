// The command line: options into RunOptions, the rest names recordings.
#pragma once

#include <cstddef>
#include <vector>

#include "util/run_options.h"

namespace varnek {

enum ExitCode {
    exit_ok = 0,
    exit_damaged = 1,      // -check: a recording is damaged
    exit_unreadable = 2,   // -check: a recording could not be read, or is not a transport stream
    exit_failed = 3,       // a repair, -get:, -put: or -undo printed an error line
    exit_usage = 10,
    exit_no_get_file = 11,
    exit_no_put_file = 12,
    exit_no_prn_tag = 13,
    exit_bad_option = 14,  // an unknown option where it matters, or -undo with a mode it cannot join
    exit_no_salvage_file = 15,
};

enum class OptionKind {
    flag,     // sets a flag of RunOptions
    value,    // takes the rest of the argument as its value
    help,     // prints the help text and ends the run
    version,  // prints the version and ends the run
};

// What else an option does, besides setting its field.
enum OptionTrait : unsigned {
    quiet = 1,          // switches the progress markers off
    strict = 2,         // asks for a write or for -check: unknown options end the run
    not_with_undo = 4,  // a mode -undo cannot join
    in_usage = 8,       // listed in the usage text printed without a recording
};

// One option of the command line. An argument names it when, after its
// '-' (or "--"), it begins with the name, or for a whole-word option
// equals it.
struct OptionRow {
    const char* name;  // as written after the '-': "all", "prn:"
    bool whole_word;   // matched only as the whole argument (-h is not -hex)
    OptionKind kind;
    bool RunOptions::*flag;          // set by a flag option
    const char* RunOptions::*value;  // set by a value option
    unsigned traits;                 // OptionTrait bits
    const char* line;                // its line of the help text; null: on the line before
    // A value option given without its value: error, use line and exit code.
    const char* missing = nullptr;
    const char* use = nullptr;
    int missing_exit = 0;
};

// Every option the parser knows, in the order of the help text.
const std::vector<OptionRow>& option_table();

struct ParsedArgs {
    RunOptions options;
    std::vector<const char*> recordings;
    int error_exit = exit_ok;  // non-zero: the run ends here, its error lines printed
    bool answered = false;     // --help or --version was answered: exit_ok, nothing more
};

// Examines argv[1..argc-1] in order; on an empty value prints its error and
// use lines and stops with error_exit set. --help, -help and -h print the
// help text, --version and -version the version; either stops with answered
// set. After the last argument: when the line asks for a write or for
// -check, each unknown option gets its error line, and -undo with -check,
// -list or -prn: one, and error_exit is exit_bad_option; in a run that only
// reports, unknown options are ignored.
ParsedArgs parse_arguments(int argc, char** argv);

// The usage text printed when no recording is named.
void print_usage();
// The usage text, a line for every other option, and the exit codes.
void print_help();

}  // namespace varnek
