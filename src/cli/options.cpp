#include "cli/options.h"

#include <cstring>
#include <iterator>

#include "util/output.h"

namespace varnek {

namespace {

using R = RunOptions;
constexpr bool prefix = false, whole = true;
constexpr OptionKind flag = OptionKind::flag, value = OptionKind::value;

// The usage text's options first, in its order; the help text follows the table.
const OptionRow table[] = {
    {"all", prefix, flag, &R::all_packets, nullptr, in_usage, "      -all        Analyse all pakets, takes a while"},
    {"hex", prefix, flag, &R::hex, nullptr, in_usage, "      -hex        Dump some pakets in hex"},
    {"fixqbx", prefix, flag, &R::fix_header, nullptr, in_usage | strict,
     " !!!  -fixqbx     Generate a QBXH and write in <ts> as first packet"},
    {"fixpat", prefix, flag, &R::fix_pat, nullptr, in_usage | strict,
     " !!!  -fixpat     Generate a PAT and write in <ts> after QBX packets"},
    {"force", prefix, flag, &R::force, nullptr, in_usage, "      -force      Writes QBXH or PAT even if it already exists"},
    {"get:", prefix, value, nullptr, &R::get_file, in_usage | strict,
     "      -get:<file> Read 188 bytes from <ts> and write to <file>", "No get-file",
     "use: Varnek <ts-file> -get:<file>\n", exit_no_get_file},
    {"put:", prefix, value, nullptr, &R::put_file, in_usage | strict,
     " !!!  -put:<file> Read 188 bytes from <file> and overwrite in <ts>", "No put-file",
     "use: Varnek <ts-file> -put:<file>\n", exit_no_put_file},
    {"salvage:", prefix, value, nullptr, &R::salvage_file, strict,
     "      -salvage:<file> Write a clean copy of <ts> into <file> (a folder for several)", "No salvage-file",
     "use: Varnek <ts-file> -salvage:<file>\n", exit_no_salvage_file},
    {"list", prefix, flag, &R::list, nullptr, quiet | not_with_undo,
     "      -list       Print one line per recording instead of the report"},
    {"prn:", prefix, value, nullptr, &R::prn_tag, quiet | not_with_undo,
     "      -prn:<tag>  Print the texts of the QBX packets tagged <tag> of the first <ts>", "No prn-id",
     "use: Varnek <ts-file> -prn:(EVNT or SHRT or CHNM)\n", exit_no_prn_tag},
    {"json", prefix, flag, &R::json, nullptr, quiet, "      -json       Print one JSON object per recording, and nothing else"},
    {"check", prefix, flag, &R::check, nullptr, quiet | strict | not_with_undo,
     "      -check      Read every packet and report damage"},
    {"dry", prefix, flag, &R::dry, nullptr, 0, "      -dry        Tell what the repairs would write, and write nothing"},
    {"undo", prefix, flag, &R::undo, nullptr, strict, "      -undo       Take back the latest repair of <ts>"},
    {"help", whole, OptionKind::help, nullptr, nullptr, 0, "      -help, -h   Print this text"},
    {"h", whole, OptionKind::help, nullptr, nullptr, 0, nullptr},
    {"version", whole, OptionKind::version, nullptr, nullptr, 0, "      -version    Print the version"},
};

// The argument without its '-', or without both of "--": --dry is -dry.
const char* option_name(const char* arg) { return arg[1] == '-' ? arg + 2 : arg + 1; }

// The option an argument names, or null.
const OptionRow* find_option(const char* arg) {
    const char* name = option_name(arg);
    for (const OptionRow& option : table) {
        if (option.whole_word ? std::strcmp(name, option.name) == 0
                            : std::strncmp(name, option.name, std::strlen(option.name)) == 0)
            return &option;
    }
    return nullptr;
}

void print_lines(const char* const* lines, size_t count) {
    for (size_t i = 0; i < count; ++i) std::fprintf(console().out, "%s\n", lines[i]);
}

}  // namespace

const std::vector<OptionRow>& option_table() {
    static const std::vector<OptionRow> options(std::begin(table), std::end(table));
    return options;
}

void print_usage() {
    static const char* const head[] = {
        "Varnek [options] <ts>\n",
        "                  Analyse <ts> an print result to screen",
    };
    print_lines(head, sizeof head / sizeof head[0]);
    for (const OptionRow& option : table)
        if (option.traits & in_usage) std::fprintf(console().out, "%s\n", option.line);
}

void print_help() {
    print_usage();
    for (const OptionRow& option : table)
        if (!(option.traits & in_usage) && option.line) std::fprintf(console().out, "%s\n", option.line);
    static const char* const tail[] = {
        "\nEvery option may also begin with two dashes (--all, --get:<file>).",
        "\nExit codes:",
        "   0  Done",
        "   1  -check: a recording is damaged",
        "   2  -check: a recording could not be read, or is no transport stream",
        "   3  A repair, -get:, -put:, -salvage: or -undo failed: an error line says why",
        "  10  No <ts> named",
        "  11  -get: without a file",
        "  12  -put: without a file",
        "  13  -prn: without a tag",
        "  14  An unknown option with a repair, -get:, -put:, -salvage:, -undo or -check,",
        "      or -undo with -check, -list or -prn:",
        "  15  -salvage: without a file",
    };
    print_lines(tail, sizeof tail / sizeof tail[0]);
}

ParsedArgs parse_arguments(int argc, char** argv) {
    ParsedArgs parsed;
    RunOptions& o = parsed.options;
    std::FILE* out = console().out;
    std::vector<const char*> unknown;
    bool asks_write = false;
    const OptionRow* undo_conflict = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            parsed.recordings.push_back(arg);
            continue;
        }
        const OptionRow* option = find_option(arg);
        if (!option) {
            unknown.push_back(arg);
            continue;
        }
        switch (option->kind) {
            case OptionKind::help:
                print_help();
                parsed.answered = true;
                return parsed;
            case OptionKind::version:
                std::fprintf(out, "varnek %s\n", VARNEK_VERSION);
                parsed.answered = true;
                return parsed;
            case OptionKind::value: {
                const char* value = option_name(arg) + std::strlen(option->name);
                if (*value == '\0') {
                    report_error("%s", option->missing);
                    std::fputs(option->use, out);
                    parsed.error_exit = option->missing_exit;
                    return parsed;
                }
                o.*(option->value) = value;
                break;
            }
            case OptionKind::flag: o.*(option->flag) = true; break;
        }
        if (option->traits & quiet) o.progress = false;
        asks_write = asks_write || (option->traits & strict);
        if ((option->traits & not_with_undo) && !undo_conflict) undo_conflict = option;
    }
    // A mistyped option must not turn a repair into another one, a dry run
    // into a real one, or a check into a plain report.
    if (asks_write)
        for (const char* arg : unknown) report_error("Unknown option '%s'", arg);
    if (o.undo && undo_conflict) report_error("-undo can't be combined with -%s", undo_conflict->name);
    if ((asks_write && !unknown.empty()) || (o.undo && undo_conflict)) parsed.error_exit = exit_bad_option;
    return parsed;
}

}  // namespace varnek
