// The command line, through the real program.
#include <gtest/gtest.h>

#include "builder.h"
#include "programs.h"

namespace build = varnek::build;
namespace t = varnek::test;

namespace {

using Args = std::vector<std::string>;

// PAT and PMT ahead of 3000 body packets; the PCR travels alone on 0x200.
void write_plain(const std::string& path, std::vector<build::Packet> extra_head = {}) {
    ASSERT_TRUE(build::write_recording(build::tables_recipe(extra_head, 3000, 0x200), path).ok);
}

// One table of command lines, each run in a folder that holds rec.ts (PAT,
// PMT and 3000 packets, no header record), a.ts and c.ts (the same behind a
// CHNM packet), the empty file e.ts, zeros.ts (200,000 zero bytes), h.bin
// and a folder sub.ts; b.ts, nope.ts and missing.ts do not exist. No run
// writes rec.ts, e.ts or new.bin.
TEST(Cli, CommandLines) {
    const std::string usage =
        "Varnek [options] <ts>\n\n"
        "                  Analyse <ts> an print result to screen\n"
        "      -all        Analyse all pakets, takes a while\n"
        "      -hex        Dump some pakets in hex\n"
        " !!!  -fixqbx     Generate a QBXH and write in <ts> as first packet\n"
        " !!!  -fixpat     Generate a PAT and write in <ts> after QBX packets\n"
        "      -force      Writes QBXH or PAT even if it already exists\n"
        "      -get:<file> Read 188 bytes from <ts> and write to <file>\n"
        " !!!  -put:<file> Read 188 bytes from <file> and overwrite in <ts>\n";
    const std::string help = usage +
        "      -salvage:<file> Write a clean copy of <ts> into <file> (a folder for several)\n"
        "      -list       Print one line per recording instead of the report\n"
        "      -prn:<tag>  Print the texts of the QBX packets tagged <tag> of the first <ts>\n"
        "      -json       Print one JSON object per recording, and nothing else\n"
        "      -check      Read every packet and report damage\n"
        "      -dry        Tell what the repairs would write, and write nothing\n"
        "      -undo       Take back the latest repair of <ts>\n"
        "      -help, -h   Print this text\n"
        "      -version    Print the version\n"
        "\n"
        "Every option may also begin with two dashes (--all, --get:<file>).\n"
        "\n"
        "Exit codes:\n"
        "   0  Done\n"
        "   1  -check: a recording is damaged\n"
        "   2  -check: a recording could not be read, or is no transport stream\n"
        "   3  A repair, -get:, -put:, -salvage: or -undo failed: an error line says why\n"
        "  10  No <ts> named\n"
        "  11  -get: without a file\n"
        "  12  -put: without a file\n"
        "  13  -prn: without a tag\n"
        "  14  An unknown option with a repair, -get:, -put:, -salvage:, -undo or -check,\n"
        "      or -undo with -check, -list or -prn:\n"
        "  15  -salvage: without a file\n";
    const std::string version = "varnek " VARNEK_VERSION "\n";
    const std::string prn = "use: Varnek <ts-file> -prn:(EVNT or SHRT or CHNM)\n";
    const std::string get = "use: Varnek <ts-file> -get:<file>\n", put = "use: Varnek <ts-file> -put:<file>\n";
    const std::string salvage = "use: Varnek <ts-file> -salvage:<file>\n";
    // Default: head block, then the tail block. -all: three full blocks and a short read.
    const std::string head = "Analyse: 'rec.ts' BEG.PAT..PMT..PCR..PTS.";
    const std::string partial = head + ".SEEK..PCR..PTS.END done\n", full = head + "... done\n";
    const std::string unknown = "Error: Unknown option '-x'!\n", lost = "\nSync lost at 00000000";
    const struct { Args args; int code; std::string out, err; bool prefix = false; } rows[] = {
        // No recording: the usage text and code 10. Asked for, it is an
        // answer, not a mistake, and a recording beside it is not read.
        {{}, 10, usage, ""},
        {{"-all", "-hex"}, 10, usage, ""},
        {{"--help"}, 0, help, ""},
        {{"-help"}, 0, help, ""},
        {{"-h", "nope.ts"}, 0, help, ""},
        {{"-all", "--h"}, 0, help, ""},
        {{"-fixqbx", "-frob", "-help", "nope.ts"}, 0, help, ""},
        {{"--version"}, 0, version, ""},
        {{"-version", "nope.ts"}, 0, version, ""},
        // An option without its value stops before any recording is opened.
        {{"rec.ts", "-prn:"}, 13, prn, "Error: No prn-id!\n"},
        {{"-prn:", "nope.ts"}, 13, prn, "Error: No prn-id!\n"},
        {{"rec.ts", "-get:"}, 11, get, "Error: No get-file!\n"},
        {{"-get:", "nope.ts"}, 11, get, "Error: No get-file!\n"},
        {{"rec.ts", "-put:"}, 12, put, "Error: No put-file!\n"},
        {{"-put:", "nope.ts"}, 12, put, "Error: No put-file!\n"},
        {{"rec.ts", "-salvage:"}, 15, salvage, "Error: No salvage-file!\n"},
        // Options match by prefix; unknown ones are ignored.
        {{"rec.ts"}, 0, partial, "", true},
        {{"-x", "rec.ts"}, 0, partial, "", true},
        {{"rec.ts", "-all"}, 0, full, "", true},
        {{"-allx", "rec.ts"}, 0, full, "", true},
        // A recording that cannot be read is skipped with its error line.
        {{"-list", "nope.ts", "rec.ts"}, 0, " Duration:  00:00:00\n", "Error: Can't open 'nope.ts' for reading!\n"},
        // A folder, even one named like a recording, stands for the recordings
        // below it (sub.ts holds none), never for a file to read; an empty file is read.
        {{"-list", "sub.ts", "rec.ts"}, 0, " Duration:  00:00:00\n", ""},
        {{"sub.ts", "e.ts", "-fixqbx", "-fixpat", "-get:new.bin"}, 3,
         "Analyse: 'e.ts' BEG done\nTesttime:  #.### s\n\nPID-List\n Duration:  00:00:00\n\n",
         "Error: No PMT found!\nError: No QBX found!\n"},
        // The tag mode ends after the first recording: b.ts would cost an error line.
        {{"a.ts", "-prn:CHNM", "b.ts", "c.ts"}, 0, "Alpha", ""},
        // Options as users type them (--dry, --check) are the tool's own;
        // each of these once wrote for real, or exited 0 after a check.
        {{"--dry", "-fixqbx", "-force", "rec.ts"}, 0, head, "", true},
        {{"--check", "rec.ts"}, 1, "'rec.ts': no_header", "", true},
        // An option the tool does not know ends a run that would write or
        // check before any file is opened.
        {{"-x", "-fixqbx", "rec.ts"}, 14, "", unknown},
        {{"-fixpat", "-force", "--frob", "rec.ts"}, 14, "", "Error: Unknown option '--frob'!\n"},
        {{"-put:h.bin", "-force", "-x", "rec.ts"}, 14, "", unknown},
        {{"-get:new.bin", "-x", "rec.ts"}, 14, "", unknown},
        {{"-undo", "-x", "rec.ts"}, 14, "", unknown},
        {{"-x", "-check", "rec.ts"}, 14, "", unknown},
        {{"---dry", "-fixqbx", "rec.ts"}, 14, "", "Error: Unknown option '---dry'!\n"},
        {{"-", "--", "-fixqbx", "nope.ts"}, 14, "", "Error: Unknown option '-'!\nError: Unknown option '--'!\n"},
        {{"-x", "-fixqbx"}, 14, "", unknown},
        // -undo does nothing else, and says so rather than doing the undo instead.
        {{"-undo", "-check", "rec.ts"}, 14, "", "Error: -undo can't be combined with -check!\n"},
        {{"--listing", "-undo", "rec.ts"}, 14, "", "Error: -undo can't be combined with -list!\n"},
        {{"-undo", "--prn:CHNM", "-x", "rec.ts"}, 14, "", unknown + "Error: -undo can't be combined with -prn:!\n"},
        // A run that only reports ignores what it does not know, as always.
        {{"-x", "--y", "rec.ts"}, 0, head, "", true},
        {{"-x", "-list", "-json", "nope.ts"}, 0, "{\"recording\":\"nope.ts\"",
         "Error: Can't open 'nope.ts' for reading!\n", true},
        {{"--all", "rec.ts"}, 0, full, "", true},
        {{"--prn:CHNM", "a.ts"}, 0, "Alpha", ""},
        {{"rec.ts", "--get:"}, 11, get, "Error: No get-file!\n"},
        // A "Sync lost" line that no "ReSync" ends is ended before the next
        // line on the error stream, whoever prints it; a second "Sync lost"
        // ends it itself.
        {{"zeros.ts", "-fixpat", "-dry"}, 3, "", lost + "\nError: No QBX found!\n", true},
        {{"-list", "zeros.ts", "missing.ts"}, 0, "", lost + "\nError: Can't open 'missing.ts' for reading!\n", true},
        {{"-list", "zeros.ts", "zeros.ts"}, 0, "", lost + lost, true},
        {{"-list", "zeros.ts"}, 0, "", lost, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        t::TempDir dir;
        write_plain(dir.file("rec.ts"));
        write_plain(dir.file("a.ts"), {build::qbx_packet("CHNM", "Alpha")});
        write_plain(dir.file("c.ts"), {build::qbx_packet("CHNM", "Gamma")});
        ASSERT_EQ(t::portable::make_dir(dir.file("sub.ts").c_str(), 0755), 0);
        ASSERT_TRUE(t::write_file(dir.file("h.bin"), t::Bytes(188, 0x47)));
        ASSERT_TRUE(t::write_file(dir.file("e.ts"), t::Bytes{}));
        ASSERT_TRUE(t::write_file(dir.file("zeros.ts"), t::Bytes(200000, 0)));
        t::Unchanged rec({dir.file("rec.ts"), dir.file("e.ts")});
        auto r = t::run_varnek(row.args, dir.path(), t::undo_in(dir));
        EXPECT_EQ(r.exit_code, row.code);
        const std::string out = t::without_testtime(r.out);
        EXPECT_EQ(row.prefix ? out.substr(0, row.out.size()) : out, row.out);
        EXPECT_EQ(r.err, row.err);
        EXPECT_FALSE(t::file_exists(dir.file("new.bin")));
        rec.check();
    }
}

}  // namespace
