#include "cli/run.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "analysis/check.h"
#include "analysis/dry_writes.h"
#include "analysis/json_report.h"
#include "analysis/report.h"
#include "analysis/scan_state.h"
#include "analysis/scanner.h"
#include "cli/options.h"
#include "cli/recordings.h"
#include "platform/platform.h"
#include "repair/fix_header.h"
#include "repair/fix_pat.h"
#include "repair/packet_copy.h"
#include "repair/repair_log.h"
#include "repair/salvage.h"
#include "repair/undo.h"
#include "util/output.h"

namespace varnek {

namespace {

InputFile* open_recording(const char* name) {
    // A directory opens as a stream on this system but holds no packets.
    if (is_directory(name)) return nullptr;
    return open_input(name);
}

}  // namespace

namespace {

// Where -json sends its lines: the real standard output, while everything
// else the run would print there goes nowhere.
struct JsonOutput {
    std::FILE* lines = nullptr;
    std::FILE* saved_out = nullptr;
};

bool begin_json(JsonOutput& json) {
    std::FILE* sink = open_null_output();
    if (!sink) return false;
    json.lines = console().out;
    json.saved_out = console().out;
    console().out = sink;
    console().out_discarded = true;
    return true;
}

void end_json(JsonOutput& json) {
    if (!json.saved_out) return;
    std::fclose(console().out);
    console().out = json.saved_out;
    console().out_discarded = is_null_device(console().out);
}

void emit(const JsonOutput& json, const std::string& line) {
    clear_status();
    std::fprintf(json.lines, "%s\n", line.c_str());
    std::fflush(json.lines);
}

std::string busy_text(const char* name) { return "'" + std::string(name) + "' is being repaired by another run"; }

// Takes the lock of a recording the run writes into, so that two runs never
// write into it at once; false, with its error line, when another run holds
// it. Where no lock can be had at all (a file that cannot be opened, a file
// system without locks), the run goes on: the scan reports the first.
bool lock_recording(const char* name, FileLock*& lock) {
    if (lock_file(name, lock) != LockOutcome::busy) return true;
    report_error("%s", busy_text(name).c_str());
    return false;
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
    const RunOptions& options = parsed.options;
    console().out_is_terminal = is_terminal(console().out);
    console().err_is_terminal = is_terminal(console().err);
    console().out_discarded = is_null_device(console().out);
    // -get:- puts the packet's bytes alone on the standard output; the
    // run's text goes to the standard error stream instead.
    if (options.get_file && std::string(options.get_file) == "-" && !options.check && !options.undo &&
        !options.list && !options.prn_tag) {
        console().packets = console().out;
        console().out = console().err;
        console().out_is_terminal = console().err_is_terminal;
        console().out_discarded = is_null_device(console().err);
    }
    // A folder stands for the recordings below it: the list is made once,
    // before the first is read.
    const std::vector<std::string> names = expand_folders(parsed.recordings);
    std::vector<const char*> recordings;
    for (const std::string& name : names) recordings.push_back(name.c_str());
    if (options.check && (options.fix_header || options.fix_pat || options.get_file || options.put_file ||
                          options.salvage_file)) {
        std::fputs(options.salvage_file
                       ? "Note: -check only reads: -fixqbx, -fixpat, -get:, -put: and -salvage: are not carried out\n"
                       : "Note: -check only reads: -fixqbx, -fixpat, -get: and -put: are not carried out\n",
                   console().err);
        std::fflush(console().err);
    }
    if (options.undo) {
        // -undo takes back the latest repair of each recording, and does nothing else.
        int code = exit_ok;
        DryUndo dry_undo;  // -dry: what the run would have undone so far
        for (const char* name : recordings) {
            const unsigned long errors = console().error_lines;
            FileLock* lock = nullptr;
            if (options.dry || lock_recording(name, lock)) {
                const UndoResult undo = undo_recording(name, options, options.dry ? &dry_undo : nullptr);
                for (const std::string& error : undo.errors) report_error("%s", error.c_str());
                if (options.json)
                    std::fprintf(console().out, "%s\n",
                                 json_undo(name, undo.done ? undo.packets : 0, undo.made != 0, undo.made,
                                           undo.errors.empty() ? std::string() : undo.errors.front()).c_str());
                else if (undo.done)
                    std::fprintf(console().out, "%sUndone: %zu packets of '%s' from %s\n", options.dry ? "Would: " : "",
                                 undo.packets, shown(name, console().out).c_str(), undo_date(undo.made).c_str());
            } else if (options.json) {
                std::fprintf(console().out, "%s\n", json_undo(name, 0, false, 0, busy_text(name)).c_str());
            }
            unlock_file(lock);
            if (console().error_lines != errors) code = exit_failed;
        }
        std::fflush(console().out);
        return code;
    }
    // Repairs, -get: and -put: run unless the mode only reads; those that
    // write into the recording do so under its lock.
    const bool repairs = !options.check && !options.list && !options.prn_tag &&
                         (options.fix_header || options.fix_pat || options.get_file || options.put_file ||
                          options.salvage_file);
    const bool locks = repairs && !options.dry && (options.fix_header || options.fix_pat || options.put_file);
    // With -json and -check the lines go to the standard output, and
    // everything else the run would print there nowhere.
    JsonOutput json;
    if ((options.json || options.check) && !begin_json(json)) {
        report_error("Can't open the null device");
        return exit_usage;
    }
    int code = exit_ok;
    DryWrites dry_writes;  // -dry: what the run would have written so far
    // Modes that read a recording whole, part files included, read a part
    // file named beside its recording with the recording only.
    const std::vector<std::string> read_with = options.check || options.json || options.list
                                                   ? recordings_read_with(names)
                                                   : std::vector<std::string>(names.size());
    const size_t total = size_t(std::count(read_with.begin(), read_with.end(), std::string()));
    const bool show_progress = (options.list || options.json) && !options.check && !options.prn_tag && total > 1 &&
                               console().err_is_terminal;
    CheckTally tally;
    unsigned number = 0;
    for (size_t n = 0; n < names.size(); ++n) {
        const char* name = recordings[n];
        if (!read_with[n].empty()) {
            begin_err_line();
            std::fprintf(console().err, "'%s' is a part file of '%s': read with it\n",
                         shown(name, console().err).c_str(), shown(read_with[n], console().err).c_str());
            std::fflush(console().err);
            continue;
        }
        ++number;
        if (show_progress)
            show_status(progress_line(number, total, shown(name, console().err), terminal_columns(console().err)));
        ScanState state;
        FileLock* lock = nullptr;
        if (locks && !lock_recording(name, lock)) {
            // Skipped whole: its report could show a repair half made.
            code = exit_failed;
            if (options.json) emit(json, json_unreadable(name, busy_text(name), options));
            continue;
        }
        if (options.dry) state.dry_writes = &dry_writes;
        InputFile* file = open_recording(name);
        if (!file) {
            unlock_file(lock);
            report_error("Can't open '%s' for reading", name);
            if (options.check) {
                code = exit_unreadable;
                tally_verdict(tally, CheckVerdict::unreadable);
            }
            // The repairs asked for are not done: the script must know.
            if (repairs) code = exit_failed;
            if (options.json) {
                std::string error = "Can't open '" + std::string(name) + "' for reading";
                emit(json, options.prn_tag ? json_prn(name, state, options, error)
                                           : json_unreadable(name, error, options));
            }
            continue;
        }
        state.start_clock = clock_ms();
        if (options.check) {
            CheckResult result;
            const CheckProgress progress{is_terminal(console().err), number, unsigned(total)};
            check_recording(name, file, options, state, result, progress);
            Summary summary = summarize(state);
            if (options.json) {
                JsonDraft draft = json_recording(name, state, summary, options);
                json_add_check(draft, result);
                emit(json, json_with_repairs(std::move(draft), state));
            } else {
                std::FILE* quiet = console().out;
                console().out = json.lines;
                print_check(name, state, result);
                std::fflush(console().out);
                console().out = quiet;
            }
            // Unreadable and not a transport stream win over damaged.
            const CheckVerdict verdict = result.verdict();
            tally_verdict(tally, verdict);
            if (verdict == CheckVerdict::unreadable || verdict == CheckVerdict::not_ts)
                code = exit_unreadable;
            else if (verdict == CheckVerdict::damaged && code == exit_ok)
                code = exit_damaged;
            continue;
        }
        scan_recording(name, file, options, state);
        if (options.prn_tag) {
            if (options.json) emit(json, json_prn(name, state, options));
            break;
        }
        Summary summary = summarize(state);
        keep_summary(state, summary);
        if (options.list) {
            if (options.json)
                emit(json, json_with_repairs(json_recording(name, state, summary, options), state));
            else {
                clear_status();
                print_list_line(state, name);
            }
            continue;
        }
        if (!options.json) print_report(state, summary, options);
        // The object tells what the scan found: taken before the repairs
        // replace stored packets, with the repairs' messages added after.
        JsonDraft draft = options.json ? json_recording(name, state, summary, options) : nullptr;
        // A part file named as if it were a recording (a shell glob such as
        // *.ts* does that) is read, but nothing is written into it.
        std::string whole;
        const bool part_of_other = part_file_of(name, whole);
        const unsigned long errors = console().error_lines;
        if (part_of_other && (options.fix_header || options.fix_pat || options.put_file)) {
            repair_fail(state, options.fix_header ? "fixqbx" : options.fix_pat ? "fixpat" : "put",
                        "'%s' is a part file of '%s': not repaired", name, whole.c_str());
        } else {
            if (options.fix_header) fix_header(state, options, name);
            if (options.fix_pat) fix_pat(state, options, name);
        }
        if (options.get_file) copy_header_out(state, options, recordings);
        if (options.put_file && !part_of_other) copy_header_in(state, options, name);
        if (options.salvage_file && !salvage_recording(state, options, name, recordings)) code = exit_failed;
        unlock_file(lock);
        if (console().error_lines != errors) code = exit_failed;
        if (options.json) emit(json, json_with_repairs(std::move(draft), state));
    }
    clear_status();
    if (tally.recordings > 1) {
        if (options.json) {
            emit(json, json_check_summary(tally));
        } else {
            std::FILE* quiet = console().out;
            console().out = json.lines;
            print_check_summary(tally);
            console().out = quiet;
        }
    }
    end_json(json);
    std::fflush(console().out);
    return code;
}

}  // namespace varnek
