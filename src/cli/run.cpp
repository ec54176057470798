#include "cli/run.h"

#include <cstdio>

#include "analysis/report.h"
#include "analysis/scan_state.h"
#include "analysis/scanner.h"
#include "cli/options.h"
#include "platform/platform.h"
#include "repair/fix_header.h"
#include "repair/fix_pat.h"
#include "repair/packet_copy.h"
#include "util/output.h"

namespace varnek {

namespace {

InputFile* open_recording(const char* name) {
    // A directory opens as a stream on this system but holds no packets.
    if (is_directory(name)) return nullptr;
    return open_input(name);
}

}  // namespace

int run(int argc, char** argv) {
    ParsedArgs parsed = parse_arguments(argc, argv);
    if (parsed.error_exit != exit_ok || parsed.answered) {
        std::fflush(console().out);
        return parsed.error_exit;
    }
    if (parsed.recordings.empty()) {
        print_usage();
        std::fflush(console().out);
        return exit_usage;
    }
    const RunOptions& options = parsed.options;
    for (const char* name : parsed.recordings) {
        ScanState state;
        InputFile* file = open_recording(name);
        if (!file) {
            report_error("Can't open '%s' for reading", name);
            continue;
        }
        state.start_clock = clock_ms();
        scan_recording(name, file, options, state);
        if (options.prn_tag) {
            std::fflush(console().out);
            return exit_ok;
        }
        if (options.list) {
            print_list_line(state, name);
            continue;
        }
        Summary summary = summarize(state);
        keep_summary(state, summary);
        print_report(state, summary, options);
        if (options.fix_header) fix_header(state, options, name);
        if (options.fix_pat) fix_pat(state, options, name);
        if (options.get_file) copy_header_out(state, options);
        if (options.put_file) copy_header_in(state, options, name);
    }
    std::fflush(console().out);
    return exit_ok;
}

}  // namespace varnek
