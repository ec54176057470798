// The command line: options into RunOptions, the rest names recordings.
#pragma once

#include <vector>

#include "util/run_options.h"

namespace varnek {

enum ExitCode {
    exit_ok = 0,
    exit_damaged = 1,      // -check: a recording is damaged
    exit_unreadable = 2,   // -check: a recording could not be read
    exit_write_failed = 3, // a write printed its error line
    exit_usage = 10,
    exit_no_get_file = 11,
    exit_no_put_file = 12,
    exit_no_prn_tag = 13,
    exit_no_salvage_file = 15,
};

struct ParsedArgs {
    RunOptions options;
    std::vector<const char*> recordings;
    int error_exit = exit_ok;  // non-zero: an option lacked its value
    bool answered = false;     // --help or --version was answered: exit_ok, nothing more
};

// Examines argv[1..argc-1] in order; on an empty value prints its error and
// use lines and stops with error_exit set. --help, -help and -h print the
// usage text, --version and -version the version; either stops with answered set.
ParsedArgs parse_arguments(int argc, char** argv);

void print_usage();

}  // namespace varnek
