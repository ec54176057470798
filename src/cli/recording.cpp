#include "cli/recording.h"

#include <algorithm>
#include <cstdio>

#include "analysis/check.h"
#include "analysis/dry_writes.h"
#include "analysis/scan_state.h"
#include "analysis/scanner.h"
#include "analysis/summary.h"
#include "cli/options.h"
#include "cli/recordings.h"
#include "platform/platform.h"
#include "repair/fix_header.h"
#include "repair/fix_pat.h"
#include "repair/packet_copy.h"
#include "repair/repair_log.h"
#include "repair/salvage.h"
#include "repair/session.h"
#include "repair/undo.h"
#include "report/check_text.h"
#include "report/json_report.h"
#include "report/report.h"
#include "util/output.h"

namespace varnek {

namespace {

InputFile* open_recording(const char* name) {
    // A directory opens as a stream on this system but holds no packets.
    if (is_directory(name)) return nullptr;
    return open_input(name);
}

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

// Prints on the real standard output a text -check prints while the run's
// other output goes nowhere.
template <typename Print>
void print_to_lines(const JsonOutput& json, Print print) {
    std::FILE* quiet = console().out;
    console().out = json.lines;
    print();
    std::fflush(console().out);
    console().out = quiet;
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

// What every recording of a reading run shares.
struct ReadRun {
    explicit ReadRun(const RunOptions& run_options) : options(run_options) {}
    const RunOptions& options;
    std::vector<const char*> recordings;  // every recording named
    JsonOutput json;
    DryWrites dry_writes;                 // -dry: what the run would have written so far
    CheckTally tally;
    int code = exit_ok;
    bool repairs = false;                 // repairs, -get:, -put: or -salvage: asked for and not read-only
    bool locks = false;                   // the run writes into the recordings
    DryWrites* dry() { return options.dry ? &dry_writes : nullptr; }
};

void check_one(ReadRun& run, const char* name, InputFile* file, unsigned number, size_t total) {
    const RunOptions& options = run.options;
    ScanState state;
    CheckResult result;
    const CheckProgress progress{is_terminal(console().err), number, unsigned(total)};
    check_recording(name, file, options, state, result, progress);
    const Summary summary = summarize(state);
    if (options.json)
        emit(run.json, json_recording(name, state, summary, options, &result, nullptr));
    else
        print_to_lines(run.json, [&] { print_check(name, state, result); });
    // Unreadable and not a transport stream win over damaged.
    const CheckVerdict verdict = result.verdict();
    tally_verdict(run.tally, verdict);
    if (verdict == CheckVerdict::unreadable || verdict == CheckVerdict::not_ts)
        run.code = exit_unreadable;
    else if (verdict == CheckVerdict::damaged && run.code == exit_ok)
        run.code = exit_damaged;
}

void prn_one(ReadRun& run, const char* name, InputFile* file) {
    ScanState state;
    scan_recording(name, file, run.options, state, run.dry());
    if (run.options.json) emit(run.json, json_prn(name, state, run.options));
}

void list_one(ReadRun& run, const char* name, InputFile* file) {
    ScanState state;
    scan_recording(name, file, run.options, state, run.dry());
    const Summary summary = summarize(state);
    if (run.options.json) {
        emit(run.json, json_recording(name, state, summary, run.options, nullptr, nullptr));
    } else {
        clear_status();
        print_list_line(state, name);
    }
}

// The repairs asked for, in their fixed order. A part file named as if it
// were a recording (a shell glob such as *.ts* does that) is read, but
// nothing is written into it.
void repair_one(ReadRun& run, const char* name, const ScanState& state, const Summary& summary,
                RepairSession& session) {
    const RunOptions& options = run.options;
    std::string whole;
    const bool part_of_other = part_file_of(name, whole);
    if (part_of_other && (options.fix_header || options.fix_pat || options.put_file)) {
        repair_fail(session, options.fix_header ? "fixqbx" : options.fix_pat ? "fixpat" : "put",
                    "'%s' is a part file of '%s': not repaired", name, whole.c_str());
    } else {
        if (options.fix_header) fix_header(state, summary, session, options, name);
        if (options.fix_pat) fix_pat(state, summary, session, options, name);
    }
    if (options.get_file) copy_header_out(state, summary, session, options, run.recordings);
    if (options.put_file && !part_of_other) copy_header_in(state, summary, session, options, name);
    if (options.salvage_file && !salvage_recording(state, summary, session, options, name, run.recordings))
        run.code = exit_failed;
}

void report_and_repair_one(ReadRun& run, const char* name, InputFile* file, FileLock* lock) {
    const RunOptions& options = run.options;
    const int64_t start_clock = clock_ms();
    ScanState state;
    scan_recording(name, file, options, state, run.dry());
    const Summary summary = summarize(state);
    if (!options.json) print_report(state, summary, options, start_clock);
    const unsigned long errors = console().error_lines;
    RepairSession session = begin_repairs(state, run.dry());
    repair_one(run, name, state, summary, session);
    unlock_file(lock);
    if (console().error_lines != errors) run.code = exit_failed;
    if (options.json) emit(run.json, json_recording(name, state, summary, options, nullptr, &session));
}

// A recording that cannot be opened: its error line, and the exit code and
// object of its mode.
void unopened(ReadRun& run, const char* name) {
    const RunOptions& options = run.options;
    report_error("Can't open '%s' for reading", name);
    if (options.check) {
        run.code = exit_unreadable;
        tally_verdict(run.tally, CheckVerdict::unreadable);
    }
    // The repairs asked for are not done: the script must know.
    if (run.repairs) run.code = exit_failed;
    if (options.json) {
        std::string error = "Can't open '" + std::string(name) + "' for reading";
        emit(run.json, options.prn_tag ? json_prn(name, ScanState(), options, error)
                                       : json_unreadable(name, error, options));
    }
}

// One recording in the run's mode; false when the run reads no more
// (-prn: reads the first recording it can open only).
bool read_one(ReadRun& run, const char* name, unsigned number, size_t total) {
    const RunOptions& options = run.options;
    FileLock* lock = nullptr;
    if (run.locks && !lock_recording(name, lock)) {
        // Skipped whole: its report could show a repair half made.
        run.code = exit_failed;
        if (options.json) emit(run.json, json_unreadable(name, busy_text(name), options));
        return true;
    }
    InputFile* file = open_recording(name);
    if (!file) {
        unlock_file(lock);
        unopened(run, name);
        return true;
    }
    if (options.check) {
        check_one(run, name, file, number, total);
    } else if (options.prn_tag) {
        prn_one(run, name, file);
        return false;
    } else if (options.list) {
        list_one(run, name, file);
    } else {
        report_and_repair_one(run, name, file, lock);
    }
    return true;
}

}  // namespace

int undo_recordings(const std::vector<std::string>& names, const RunOptions& options) {
    // -undo takes back the latest repair of each recording, and does nothing else.
    int code = exit_ok;
    DryUndo dry_undo;  // -dry: what the run would have undone so far
    for (const std::string& each : names) {
        const char* name = each.c_str();
        const unsigned long errors = console().error_lines;
        FileLock* lock = nullptr;
        if (options.dry || lock_recording(name, lock)) {
            const UndoResult undo = undo_recording(name, options, options.dry ? &dry_undo : nullptr);
            for (const std::string& error : undo.errors) report_error("%s", error.c_str());
            if (options.json)
                std::fprintf(console().out, "%s\n",
                             json_undo(name, undo.done ? undo.packets : 0, undo.made != 0, undo.made,
                                       undo.errors.empty() ? std::string() : undo.errors.front())
                                 .c_str());
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

int read_recordings(const std::vector<std::string>& names, const RunOptions& options) {
    ReadRun run(options);
    for (const std::string& name : names) run.recordings.push_back(name.c_str());
    // Repairs, -get: and -put: run unless the mode only reads; those that
    // write into the recording do so under its lock.
    run.repairs = !options.check && !options.list && !options.prn_tag &&
                  (options.fix_header || options.fix_pat || options.get_file || options.put_file ||
                   options.salvage_file);
    run.locks = run.repairs && !options.dry && (options.fix_header || options.fix_pat || options.put_file);
    // With -json and -check the lines go to the standard output, and
    // everything else the run would print there nowhere.
    if ((options.json || options.check) && !begin_json(run.json)) {
        report_error("Can't open the null device");
        return exit_usage;
    }
    // Modes that read a recording whole, part files included, read a part
    // file named beside its recording with the recording only. -salvage:
    // too: a copy of the part file would land beside its recording's copy
    // as that copy's part file, and repeat it.
    const std::vector<std::string> read_with = options.check || options.json || options.list || options.salvage_file
                                                   ? recordings_read_with(names)
                                                   : std::vector<std::string>(names.size());
    const size_t total = size_t(std::count(read_with.begin(), read_with.end(), std::string()));
    const bool show_progress = (options.list || options.json) && !options.check && !options.prn_tag && total > 1 &&
                               console().err_is_terminal;
    unsigned number = 0;
    for (size_t n = 0; n < names.size(); ++n) {
        const char* name = run.recordings[n];
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
        if (!read_one(run, name, number, total)) break;
    }
    clear_status();
    if (run.tally.recordings > 1) {
        if (options.json)
            emit(run.json, json_check_summary(run.tally));
        else
            print_to_lines(run.json, [&] { print_check_summary(run.tally); });
    }
    end_json(run.json);
    std::fflush(console().out);
    return run.code;
}

}  // namespace varnek
