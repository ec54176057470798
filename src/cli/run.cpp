#include "cli/run.h"

#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/recording.h"
#include "cli/recordings.h"
#include "platform/platform.h"
#include "util/output.h"

namespace varnek {

namespace {

// Where the run's text goes: the console's streams as the system has them,
// and -get:- puts the packet's bytes alone on the standard output, the
// run's text going to the standard error stream instead.
void set_up_console(const RunOptions& options) {
    console().out_is_terminal = is_terminal(console().out);
    console().err_is_terminal = is_terminal(console().err);
    console().out_discarded = is_null_device(console().out);
    if (options.get_file && std::string(options.get_file) == "-" && !options.check && !options.undo &&
        !options.list && !options.prn_tag) {
        console().packets = console().out;
        console().out = console().err;
        console().out_is_terminal = console().err_is_terminal;
        console().out_discarded = is_null_device(console().err);
    }
}

void note_check_only_reads(const RunOptions& options) {
    if (!options.check ||
        !(options.fix_header || options.fix_pat || options.get_file || options.put_file || options.salvage_file))
        return;
    std::fputs(options.salvage_file
                   ? "Note: -check only reads: -fixqbx, -fixpat, -get:, -put: and -salvage: are not carried out\n"
                   : "Note: -check only reads: -fixqbx, -fixpat, -get: and -put: are not carried out\n",
               console().err);
    std::fflush(console().err);
}

}  // namespace

int run(int argc, char** argv) {
    prepare_console();
    // The arguments as UTF-8, whatever the system hands over; the options
    // point into these texts, which live until the run ends.
    std::vector<std::string> arguments = command_line_arguments(argc, argv);
    // Where no shell expands wildcards, the program does, as a Unix shell would.
    if (!shell_expands_wildcards()) arguments = expand_wildcards(arguments, true);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(&argument[0]);
    ParsedArgs parsed = parse_arguments(int(pointers.size()), pointers.data());
    if (parsed.error_exit != exit_ok || parsed.answered) {
        std::fflush(console().out);
        return parsed.error_exit;
    }
    if (parsed.recordings.empty()) {
        print_usage();
        std::fflush(console().out);
        return exit_usage;
    }
    set_up_console(parsed.options);
    // A folder stands for the recordings below it: the list is made once,
    // before the first is read.
    const std::vector<std::string> names = expand_folders(parsed.recordings);
    note_check_only_reads(parsed.options);
    if (parsed.options.undo) return undo_recordings(names, parsed.options);
    return read_recordings(names, parsed.options);
}

}  // namespace varnek
