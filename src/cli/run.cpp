#include "cli/run.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "analysis/check.h"
#include "analysis/json_report.h"
#include "analysis/report.h"
#include "analysis/scan_state.h"
#include "analysis/scanner.h"
#include "cli/options.h"
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

// True when name is a part file of another recording: an existing file's
// name followed by a part number k whose parts 1 to k - 1 exist too, so that
// the scan of that file reads it. The longest number is tried first.
bool part_file_of(const char* name, std::string& whole) {
    const std::string text = name;
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[text.size() - 1 - digits]))) ++digits;
    for (size_t length = digits; length >= 1; --length) {
        const std::string base = text.substr(0, text.size() - length);
        const std::string number = text.substr(text.size() - length);
        if (base.empty() || number[0] == '0' || length > 9) continue;
        if (!is_regular_file(base.c_str())) continue;
        const unsigned k = unsigned(std::stoul(number));
        unsigned part = 1;
        while (part < k && is_regular_file(part_file_name(base, part).c_str())) ++part;
        if (part == k) {
            whole = base;
            return true;
        }
    }
    return false;
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
    std::fprintf(json.lines, "%s\n", line.c_str());
    std::fflush(json.lines);
}

}  // namespace

int run(int argc, char** argv) {
    prepare_console();
    // The arguments as UTF-8, whatever the system hands over; the options
    // point into these texts, which live until the run ends.
    std::vector<std::string> arguments = command_line_arguments(argc, argv);
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
    if (options.check && (options.fix_header || options.fix_pat || options.get_file || options.put_file)) {
        std::fputs("Note: -check only reads: -fixqbx, -fixpat, -get: and -put: are not carried out\n",
                   console().err);
        std::fflush(console().err);
    }
    if (options.undo) {
        // -undo takes back the latest repair of each recording, and does nothing else.
        for (const char* name : parsed.recordings) undo_recording(name, options);
        std::fflush(console().out);
        return exit_ok;
    }
    // With -json and -check the lines go to the standard output, and
    // everything else the run would print there nowhere.
    JsonOutput json;
    if ((options.json || options.check) && !begin_json(json)) {
        report_error("Can't open the null device");
        return exit_usage;
    }
    int code = exit_ok;
    for (const char* name : parsed.recordings) {
        ScanState state;
        InputFile* file = open_recording(name);
        if (!file) {
            report_error("Can't open '%s' for reading", name);
            if (options.check) code = exit_unreadable;
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
            check_recording(name, file, options, state, result, is_terminal(console().err));
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
            if (!result.intact() && code == exit_ok) code = exit_damaged;
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
            else
                print_list_line(state, name);
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
        if (part_of_other && (options.fix_header || options.fix_pat || options.put_file)) {
            repair_fail(state, options.fix_header ? "fixqbx" : options.fix_pat ? "fixpat" : "put",
                        "'%s' is a part file of '%s': not repaired", name, whole.c_str());
        } else {
            if (options.fix_header) fix_header(state, options, name);
            if (options.fix_pat) fix_pat(state, options, name);
        }
        if (options.get_file) copy_header_out(state, options, parsed.recordings);
        if (options.put_file && !part_of_other) copy_header_in(state, options, name);
        if (options.salvage_file && !salvage_recording(state, options, name, parsed.recordings) && code == exit_ok)
            code = exit_write_failed;
        if (options.json) emit(json, json_with_repairs(std::move(draft), state));
    }
    end_json(json);
    std::fflush(console().out);
    return code;
}

}  // namespace varnek
