// The command line, through the real program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "builder.h"
#include "programs.h"

namespace build = varnek::build;
using varnek::test::run_varnek;
using varnek::test::TempDir;

namespace {

using Args = std::vector<std::string>;

// PAT and PMT ahead of 3000 body packets; the PCR travels alone on 0x200.
void write_plain(const std::string& path, std::vector<build::Packet> extra_head = {}) {
    build::Recipe r;
    r.pcr_pid = 0x200;
    r.head = extra_head;
    r.head.push_back(build::pat_packet({{1, 0x64}}));
    r.head.push_back(build::pmt_packet(build::pmt_for(r)));
    r.body_packets = 3000;
    ASSERT_TRUE(build::write_recording(r, path).ok);
}

build::Packet header_2009() {
    build::QbxhFields f;
    f.mjd = 54832;
    f.start_hour = 20;
    f.start_minute = 15;
    f.duration_s = 5400;
    return build::qbxh_packet(f);
}

TEST(Cli, UsageWithoutRecording) {
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
    for (const Args& args : {Args{}, Args{"-all", "-hex"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        auto r = run_varnek(args);
        EXPECT_EQ(r.exit_code, 10);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
    // Asked for, the usage text is an answer, not a mistake; the recording
    // named beside it is not read.
    for (const Args& args : {Args{"--help"}, Args{"-help"}, Args{"-h", "missing.ts"}, Args{"-all", "--help"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        auto r = run_varnek(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
    for (const Args& args : {Args{"--version"}, Args{"-version", "missing.ts"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        auto r = run_varnek(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "varnek " VARNEK_VERSION "\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(Cli, OptionWithoutValueStopsBeforeAnyRecording) {
    TempDir dir;
    write_plain(dir.file("rec.ts"));
    const struct { std::string option, err, out; int code; } rows[] = {
        {"-prn:", "Error: No prn-id!\n", "use: Varnek <ts-file> -prn:(EVNT or SHRT or CHNM)\n", 13},
        {"-get:", "Error: No get-file!\n", "use: Varnek <ts-file> -get:<file>\n", 11},
        {"-put:", "Error: No put-file!\n", "use: Varnek <ts-file> -put:<file>\n", 12},
    };
    for (const auto& row : rows) {
        for (const Args& args : {Args{"rec.ts", row.option}, Args{row.option, "nope.ts"}}) {
            SCOPED_TRACE(testing::PrintToString(args));
            auto r = run_varnek(args, dir.path());
            EXPECT_EQ(r.exit_code, row.code);
            EXPECT_EQ(r.out, row.out);  // no Analyse line
            EXPECT_EQ(r.err, row.err);  // no Can't open line
        }
    }
}

TEST(Cli, OptionsMatchByPrefix) {
    TempDir dir;
    write_plain(dir.file("rec.ts"));
    // Default: head block, then the tail block. -all: three full blocks and a short read.
    const std::string head = "Analyse: 'rec.ts' BEG.PAT..PMT..PCR..PTS.";
    const std::string partial = head + ".SEEK..PCR..PTS.END done\n";
    const std::string full = head + "... done\n";
    const struct { Args args; std::string line; } rows[] = {
        {{"rec.ts"}, partial}, {{"-x", "rec.ts"}, partial}, {{"rec.ts", "-all"}, full}, {{"-allx", "rec.ts"}, full}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        auto r = run_varnek(row.args, dir.path());
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), row.line);
        EXPECT_EQ(r.err, "");
    }
}

TEST(Cli, LaterValueCounts) {
    TempDir dir;
    write_plain(dir.file("rec.ts"), {header_2009()});
    auto r = run_varnek({"-get:a.bin", "rec.ts", "-get:b.bin"}, dir.path());
    EXPECT_NE(r.out.find("\nWrite first ts packet to: 'b.bin'\n"), std::string::npos) << r.out;
    EXPECT_FALSE(varnek::test::file_exists(dir.file("a.bin")));
    const build::Packet h = header_2009();
    EXPECT_EQ(varnek::test::read_file(dir.file("b.bin")), varnek::test::Bytes(h.begin(), h.end()));
}

TEST(Cli, UnreadableRecordingIsSkipped) {
    TempDir dir;
    write_plain(dir.file("rec.ts"));
    ASSERT_EQ(varnek::test::portable::make_dir(dir.file("sub").c_str(), 0755), 0);
    for (const std::string name : {"nope.ts", "sub"}) {
        SCOPED_TRACE(name);
        auto r = run_varnek({"-list", name, "rec.ts"}, dir.path());
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "Error: Can't open '" + name + "' for reading!\n");
        EXPECT_EQ(r.out, " Duration:  00:00:00\n");
    }
}

TEST(Cli, TagModeEndsAfterTheFirstRecording) {
    TempDir dir;
    write_plain(dir.file("a.ts"), {build::qbx_packet("CHNM", "Alpha")});
    write_plain(dir.file("c.ts"), {build::qbx_packet("CHNM", "Gamma")});
    // b.ts does not exist: reaching it would cost an error line.
    auto r = run_varnek({"a.ts", "-prn:CHNM", "b.ts", "c.ts"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Alpha");
    EXPECT_EQ(r.err, "");
}

}  // namespace
