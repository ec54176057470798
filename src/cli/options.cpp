#include "cli/options.h"

#include <cstring>

#include "util/output.h"

namespace varnek {

namespace {

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

void print_usage() {
    static const char* const lines[] = {
        "Varnek [options] <ts>\n",
        "                  Analyse <ts> an print result to screen",
        "      -all        Analyse all pakets, takes a while",
        "      -hex        Dump some pakets in hex",
        " !!!  -fixqbx     Generate a QBXH and write in <ts> as first packet",
        " !!!  -fixpat     Generate a PAT and write in <ts> after QBX packets",
        "      -force      Writes QBXH or PAT even if it already exists",
        "      -get:<file> Read 188 bytes from <ts> and write to <file>",
        " !!!  -put:<file> Read 188 bytes from <file> and overwrite in <ts>",
    };
    for (const char* line : lines) std::fprintf(console().out, "%s\n", line);
}

ParsedArgs parse_arguments(int argc, char** argv) {
    ParsedArgs parsed;
    RunOptions& o = parsed.options;
    std::FILE* out = console().out;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            parsed.recordings.push_back(arg);
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-help") == 0 ||
                   std::strcmp(arg, "-h") == 0) {
            print_usage();
            parsed.answered = true;
            return parsed;
        } else if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-version") == 0) {
            std::fprintf(out, "varnek %s\n", VARNEK_VERSION);
            parsed.answered = true;
            return parsed;
        } else if (starts_with(arg, "-prn:")) {
            if (arg[5] == '\0') {
                report_error("No prn-id");
                std::fputs("use: Varnek <ts-file> -prn:(EVNT or SHRT or CHNM)\n", out);
                parsed.error_exit = exit_no_prn_tag;
                return parsed;
            }
            o.prn_tag = arg + 5;
            o.progress = false;
        } else if (starts_with(arg, "-get:")) {
            if (arg[5] == '\0') {
                report_error("No get-file");
                std::fputs("use: Varnek <ts-file> -get:<file>\n", out);
                parsed.error_exit = exit_no_get_file;
                return parsed;
            }
            o.get_file = arg + 5;
        } else if (starts_with(arg, "-put:")) {
            if (arg[5] == '\0') {
                report_error("No put-file");
                std::fputs("use: Varnek <ts-file> -put:<file>\n", out);
                parsed.error_exit = exit_no_put_file;
                return parsed;
            }
            o.put_file = arg + 5;
        } else if (starts_with(arg, "-salvage:")) {
            if (arg[9] == '\0') {
                report_error("No salvage-file");
                std::fputs("use: Varnek <ts-file> -salvage:<file>\n", out);
                parsed.error_exit = exit_no_salvage_file;
                return parsed;
            }
            o.salvage_file = arg + 9;
        } else {
            const char* name = arg + 1;
            if (starts_with(name, "fixqbx")) {
                o.fix_header = true;
            } else if (starts_with(name, "fixpat")) {
                o.fix_pat = true;
            } else if (starts_with(name, "all")) {
                o.all_packets = true;
            } else if (starts_with(name, "hex")) {
                o.hex = true;
            } else if (starts_with(name, "force")) {
                o.force = true;
            } else if (starts_with(name, "list")) {
                o.list = true;
                o.progress = false;
            } else if (starts_with(name, "undo")) {
                o.undo = true;
            } else if (starts_with(name, "dry")) {
                o.dry = true;
            } else if (starts_with(name, "check")) {
                o.check = true;
                o.progress = false;
            } else if (starts_with(name, "json")) {
                o.json = true;
                o.progress = false;
            }
            // Any other option is ignored.
        }
    }
    return parsed;
}

}  // namespace varnek
