// The parser's table of options, in-process: every option in its one- and
// two-dash forms, whole words against prefixes, and the help text naming
// every option of the table.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "util/output.h"

namespace {

using varnek::OptionKind;
using varnek::OptionRow;
using varnek::ParsedArgs;

// What the console printed while f ran (out and err as one text).
template <typename F>
std::string printed_by(F f) {
    const varnek::Console saved = varnek::console();
    std::FILE* file = std::tmpfile();
    varnek::console().out = varnek::console().err = file;
    f();
    varnek::console() = saved;
    std::string text(1 << 16, '\0');
    std::rewind(file);
    text.resize(std::fread(&text[0], 1, text.size(), file));
    std::fclose(file);
    return text;
}

// The parsed options point into the arguments, which live as long as they.
struct Parsed : ParsedArgs {
    std::vector<std::string> args;
    std::string printed;
};

Parsed parse(std::vector<std::string> args) {
    Parsed result;
    result.args = std::move(args);
    result.args.insert(result.args.begin(), "varnek");
    std::vector<char*> argv;
    for (std::string& arg : result.args) argv.push_back(&arg[0]);
    result.printed = printed_by([&] {
        static_cast<ParsedArgs&>(result) = varnek::parse_arguments(int(argv.size()), argv.data());
    });
    return result;
}

bool sets(const OptionRow& option, const ParsedArgs& parsed, const char* value) {
    switch (option.kind) {
        case OptionKind::flag: return parsed.options.*(option.flag);
        case OptionKind::value: {
            const char* got = parsed.options.*(option.value);
            return got && std::strcmp(got, value) == 0;
        }
        default: return parsed.answered;
    }
}

// Each option of the table, written as -NAME, --NAME and with a tail after
// its name; the tail names a prefix option still and makes a whole-word
// option unknown (which -fixqbx turns into exit code 14).
TEST(Options, EveryOptionInEveryForm) {
    for (const OptionRow& option : varnek::option_table()) {
        const std::string name = option.name;
        const char* value = option.kind == OptionKind::value ? "v.bin" : "";
        for (const std::string dashes : {"-", "--"}) {
            SCOPED_TRACE(dashes + name);
            Parsed parsed = parse({"rec.ts", dashes + name + value});
            EXPECT_TRUE(sets(option, parsed, value));
            EXPECT_EQ(parsed.error_exit, varnek::exit_ok);
            EXPECT_EQ(parsed.recordings.size(), 1u);
            const std::string mistyped = dashes + name + (option.kind == OptionKind::value ? "" : "x") + value;
            parsed = parse({"rec.ts", mistyped, "-fixqbx"});
            if (option.whole_word) {
                EXPECT_EQ(parsed.error_exit, varnek::exit_bad_option);
                EXPECT_EQ(parsed.printed, "Error: Unknown option '" + dashes + name + "x'!\n");
            } else {
                EXPECT_TRUE(sets(option, parsed, value));
            }
        }
        // Three dashes are one too many.
        Parsed parsed = parse({"rec.ts", "---" + name + value, "-fixqbx"});
        EXPECT_EQ(parsed.error_exit, varnek::exit_bad_option) << name;
    }
}

// -undo joins what only changes how it reports; it cannot join a mode
// that reads alone, whichever comes first.
TEST(Options, WhatUndoJoins) {
    const struct { std::vector<std::string> args; int code; const char* printed; } rows[] = {
        {{"-undo", "-json"}, varnek::exit_ok, ""},
        {{"-dry", "--undo"}, varnek::exit_ok, ""},
        {{"-list", "-check", "-undo"}, varnek::exit_bad_option, "Error: -undo can't be combined with -list!\n"},
        {{"-undo", "-prn:EVNT"}, varnek::exit_bad_option, "Error: -undo can't be combined with -prn:!\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        Parsed parsed = parse(row.args);
        EXPECT_EQ(parsed.error_exit, row.code);
        EXPECT_EQ(parsed.printed, row.printed);
    }
}

// The help text begins with the usage text and names every option of the
// table as it is written ("-prn:<tag>", "-h," but not the "-h" of "-hex").
TEST(Options, HelpNamesEveryOption) {
    const std::string usage = printed_by([] { varnek::print_usage(); });
    const std::string help = printed_by([] { varnek::print_help(); });
    EXPECT_EQ(help.compare(0, usage.size(), usage), 0);
    for (const OptionRow& option : varnek::option_table()) {
        const std::string written = std::string("-") + option.name;
        bool named = false;
        for (size_t at = help.find(written); at != std::string::npos && !named; at = help.find(written, at + 1)) {
            const char next = at + written.size() < help.size() ? help[at + written.size()] : ' ';
            named = (next < 'a' || next > 'z') && (at == 0 || help[at - 1] == ' ');
        }
        EXPECT_TRUE(named) << written << " is not in the help text";
    }
    for (const char* code : {"   0 ", "   1 ", "   2 ", "   3 ", "  10 ", "  11 ", "  12 ", "  13 ", "  14 "})
        EXPECT_NE(help.find(std::string("\n") + code), std::string::npos) << "exit code" << code;
}

}  // namespace
