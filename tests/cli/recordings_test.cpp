// From names to recordings: folders, wildcards, part files named beside
// their recording, and what a terminal sees of a run over many recordings.
#include "cli/recordings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "builder.h"
#include "programs.h"

namespace build = varnek::build;
namespace t = varnek::test;

namespace {

using Names = std::vector<std::string>;

// Where the narrow file calls take no UTF-8 (Windows), a name in another
// script is given through the wide names: written under an ASCII name, then
// renamed.
void utf8_rename(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::rename(std::filesystem::u8path(from), std::filesystem::u8path(to), ec);
    ASSERT_FALSE(ec) << to;
}

bool ascii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

// Where path is no ASCII, a name beside it that is (its folder's name is).
std::string ascii_beside(const std::string& path) {
    return ascii(path) ? path : path.substr(0, path.rfind('/') + 1) + "new.tmp";
}

void write_text(const std::string& path, const std::string& text) {
    ASSERT_TRUE(t::write_file(ascii_beside(path), text)) << path;
    if (!ascii(path)) utf8_rename(ascii_beside(path), path);
}

// A receiver's recording of 1500 packets behind its record and texts (1506
// in all); in four files of at most 400 packets when parts is set.
void write_receiver(const std::string& path, const std::string& channel, bool parts = false) {
    build::Recipe r = build::dated_receiver_recipe(channel, 1, 1500);
    r.part_packets = parts ? 400 : 0;
    ASSERT_TRUE(build::write_recording(r, ascii_beside(path)).ok) << path;
    if (!ascii(path)) utf8_rename(ascii_beside(path), path);
}

void make_dir(const std::string& path) { ASSERT_EQ(t::portable::make_dir(path.c_str(), 0755), 0) << path; }

// The tree of an archive: nested folders, part files, names in other
// scripts, extensions in any case, files that are no recordings, a folder
// named like one, and (where the system has them) links.
struct Archive {
    t::TempDir dir;
    bool links = !VARNEK_ON_WINDOWS;
    Names expected;  // below "arch", in the order worked out by hand from the bytes of the names

    Archive() {
        const std::string a = dir.file("arch");
        for (const char* folder : {"", "/sub", "/sub/deep", "/sub.ts", "/empty"}) make_dir(a + folder);
        const struct { const char* name; bool parts; } recordings[] = {
            {"Zebra.ts", false},
            {"apple.TS", false},
            {"show.ts", true},               // show.ts1 to show.ts3 are read with it
            {"sub.ts/c.ts", false},          // "sub." sorts before "sub/"
            {"sub/b.ts", false},
            {"sub/deep/x.Trp", false},
            {"\xC3\x84rger.rec", false},     // Ärger: C3 84
            {"\xC3\xA9mission.REC", false},  // émission: C3 A9
            {"\xD0\xBD\xD0\xB8\xD0\xB2\xD0\xBE.ts", false},  // ниво: D0 BD
            {"\xE6\x97\xA5\xE6\x9C\xAC.ts", false},          // 日本: E6 97
        };
        for (const auto& r : recordings) write_receiver(a + "/" + r.name, r.name, r.parts);
        write_text(a + "/notes.txt", "no recording");
        write_text(a + "/backup.ts.bak", "no recording");
        for (const auto& r : recordings) expected.push_back(r.name);
        if (links) {
            // A link to a folder is not followed; a link to a recording is one.
            EXPECT_EQ(t::portable::make_symlink("sub", (a + "/link").c_str()), 0);
            EXPECT_EQ(t::portable::make_symlink("Zebra.ts", (a + "/file-link.ts").c_str()), 0);
            EXPECT_EQ(t::portable::make_symlink("nowhere.ts", (a + "/dangling.ts").c_str()), 0);
            expected.insert(expected.begin() + 2, "file-link.ts");
        }
    }
};

TEST(Recordings, FoldersStandForTheRecordingsBelowThem) {
    Archive archive;
    const std::string a = archive.dir.file("arch");
    Names expected;
    for (const std::string& name : archive.expected) expected.push_back(a + "/" + name);
    EXPECT_EQ(varnek::expand_folders({a.c_str()}), expected);
    // With a separator behind the folder's name, and among other names, in
    // their order; an empty folder stands for nothing.
    const std::string slash = a + "/", sub = a + "/sub", empty = a + "/empty", loose = a + "/notes.txt";
    Names mixed = {loose, a + "/sub/b.ts", a + "/sub/deep/x.Trp", loose};
    EXPECT_EQ(varnek::expand_folders({loose.c_str(), sub.c_str(), empty.c_str(), loose.c_str()}), mixed);
    EXPECT_EQ(varnek::expand_folders({slash.c_str()}), expected);
}

// Every mode reads a folder as it reads its recordings named one by one.
TEST(Recordings, AFolderRunIsTheNamedRun) {
    Archive archive;
    const Names modes[] = {{"-list"}, {"-check"}, {"-json"}, {"-json", "-check"}, {}};
    for (const Names& mode : modes) {
        SCOPED_TRACE(testing::PrintToString(mode));
        Names folder = mode, named = mode;
        folder.push_back("arch");
        for (const std::string& name : archive.expected) named.push_back("arch/" + name);
        t::RunResult by_folder = t::run_varnek(folder, archive.dir.path());
        t::RunResult by_name = t::run_varnek(named, archive.dir.path());
        EXPECT_EQ(by_folder.exit_code, 0);
        EXPECT_EQ(by_folder.exit_code, by_name.exit_code);
        EXPECT_EQ(t::without_testtime(by_folder.out), t::without_testtime(by_name.out));
        EXPECT_EQ(by_folder.err, by_name.err);
        if (mode.empty() || mode[0] == "-json") {
            EXPECT_NE(by_folder.out.find("arch/show.ts3"), std::string::npos);  // the parts are read
        }
    }
}

TEST(Recordings, AFolderThatCannotBeReadIsReported) {
    VARNEK_NOT_ON_WINDOWS("a folder's rights are POSIX rights");
    t::TempDir dir;
    make_dir(dir.file("arch"));
    make_dir(dir.file("arch/closed"));
    write_receiver(dir.file("arch/a.ts"), "A");
    // Root reads every folder: it runs the tool as nobody.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.file("arch/closed").c_str(), 0), 0);
    t::RunResult r = t::run_varnek_restricted({"-check", "arch"}, dir.path(), t::no_size_limit, geteuid() == 0);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "Error: Can't open 'arch/closed' for reading!\n");
    EXPECT_EQ(r.out.substr(0, r.out.find(':')), "'arch/a.ts'");
}

TEST(Recordings, WildcardsAsAShellExpandsThem) {
    t::TempDir dir;
    make_dir(dir.file("d1"));
    make_dir(dir.file("d2"));
    for (const char* name : {"b.ts", "a.ts", "a.ts1", "A.TS.txt", ".hidden.ts", "\xC3\xA9.ts", "d1/x.ts", "d2/y.ts",
                             "d2/x.ts"})
        write_text(dir.file(name), "x");
    const std::string p = dir.path() + "/";
    const struct { Names args; bool windows; Names expected; } rows[] = {
        {{"*.ts"}, false, {"a.ts", "b.ts", "\xC3\xA9.ts"}},
        {{"*.ts*"}, false, {"a.ts", "a.ts1", "b.ts", "\xC3\xA9.ts"}},
        {{"?.ts"}, false, {"a.ts", "b.ts", "\xC3\xA9.ts"}},
        {{".*"}, false, {".hidden.ts"}},
        {{"*.TS"}, true, {"*.TS"}},  // nothing matches: the pattern stays
        {{"d*/x.ts"}, false, {"d1/x.ts", "d2/x.ts"}},
        {{"d*/*"}, false, {"d1/x.ts", "d2/x.ts", "d2/y.ts"}},
        {{"*/"}, false, {"d1/", "d2/"}},
        {{"d?/nope.ts"}, false, {"d?/nope.ts"}},
        // Options and names without wildcards stay; each pattern is sorted on its own.
        {{"-get:*.ts", "b.ts", "a*", "-list"}, false, {"-get:*.ts", "b.ts", "a.ts", "a.ts1", "-list"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        Names args = {"varnek"}, expected = {"varnek"};
        for (const std::string& arg : row.args) args.push_back(arg[0] == '-' ? arg : p + arg);
        for (const std::string& name : row.expected) expected.push_back(name[0] == '-' ? name : p + name);
        EXPECT_EQ(varnek::expand_wildcards(args, row.windows), expected);
    }
    // Relative to the current folder, as typed; the program's own name stays.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    EXPECT_EQ(varnek::expand_wildcards({"*.ts", "*.ts", "d2/*.ts"}, true),
              (Names{"*.ts", "a.ts", "b.ts", "\xC3\xA9.ts", "d2/x.ts", "d2/y.ts"}));
    std::filesystem::current_path(before);
}

TEST(Recordings, PartFilesNamedBesideTheirRecording) {
    t::TempDir dir;
    write_receiver(dir.file("rec.ts"), "Rec", true);  // rec.ts1 to rec.ts3
    write_receiver(dir.file("other.ts"), "Other");
    ASSERT_TRUE(t::write_file(dir.file("lone.ts7"), "x"));
    const std::string rec = "2026-11-28-20-00 00:00:01 Rec              rec.ts\n";
    auto skipped = [](const char* part, const char* whole) {
        return "'" + std::string(part) + "' is a part file of '" + whole + "': read with it\n";
    };
    if (!VARNEK_ON_WINDOWS) {
        ASSERT_EQ(t::portable::make_symlink("rec.ts", dir.file("alias.ts").c_str()), 0);
    }
    const struct { Names args; std::string out, err; bool link = false; } rows[] = {
        {{"-list", "rec.ts", "rec.ts1", "rec.ts3"}, rec, skipped("rec.ts1", "rec.ts") + skipped("rec.ts3", "rec.ts")},
        // The line comes where the part file stands; the recording may stand anywhere.
        {{"-list", "rec.ts2", "rec.ts"}, rec, skipped("rec.ts2", "rec.ts")},
        {{"-list", "./rec.ts", "rec.ts1"}, "2026-11-28-20-00 00:00:01 Rec              ./rec.ts\n",
         skipped("rec.ts1", "./rec.ts")},
        // Named alone, a part file is read as a recording, as before.
        {{"-list", "rec.ts1", "other.ts"}, " Duration:  00:00:00\n2026-11-28-20-00 00:00:01 Other            other.ts\n", ""},
        {{"-list", "rec.ts", "rec.ts4"}, rec, "Error: Can't open 'rec.ts4' for reading!\n"},
        {{"-list", "lone.ts7"}, " Duration:  00:00:00\n", ""},
        // -check gives one verdict.
        {{"-check", "rec.ts1", "rec.ts"}, "'rec.ts': intact (1506 packets, 00:00:00)\n", skipped("rec.ts1", "rec.ts")},
        // A link to the recording reads alias.ts1, alias.ts2, ...: rec.ts1 is not among them.
        {{"-list", "alias.ts", "rec.ts1"}, "2026-11-28-20-00 00:00:01 Rec              alias.ts\n Duration:  00:00:00\n", "",
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        if (t::skip_row(row.link && VARNEK_ON_WINDOWS, row.args[1], "not on Windows: symbolic links need a privilege")) continue;
        t::RunResult r = t::run_varnek(row.args, dir.path());
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
    }
    // -json gives one object; the report mode reads both as before.
    t::RunResult json = t::run_varnek({"-json", "rec.ts", "rec.ts1"}, dir.path());
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1);
    EXPECT_EQ(json.err, skipped("rec.ts1", "rec.ts"));
    t::RunResult report = t::run_varnek({"rec.ts", "rec.ts1"}, dir.path());
    EXPECT_NE(report.out.find("Analyse: 'rec.ts1' BEG"), report.out.rfind("Analyse: 'rec.ts1' BEG"));
    EXPECT_EQ(report.err, "");
}

TEST(Recordings, ProgressLineFitsTheTerminal) {
    const struct { size_t n, total; const char* name; unsigned columns; const char* line; } rows[] = {
        {1, 2, "a.ts", 0, "[1/2] a.ts"},
        {1, 2, "a.ts", 11, "[1/2] a.ts"},
        {1, 2, "abcdef.ts", 15, "[1/2] ...ef.ts"},  // 14 columns: the last one stays free
        {12, 320, "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC.ts", 17, "[12/320] ...\xC3\xBC.ts"},
        {12, 320, "rec.ts", 9, "[12/320]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(varnek::progress_line(row.n, row.total, row.name, row.columns), row.line);
    }
}

// At a terminal (script gives the tool a pseudo-terminal) and in a pipe: the
// progress line, the receiver's texts in ISO 8859-1, and control characters
// that would steer the terminal, shown there as '?'.
TEST(Recordings, WhatATerminalSees) {
    VARNEK_NOT_ON_WINDOWS("script is a tool of the build machine");
    VARNEK_NEED_TOOL(t::run_program("script", {"-V"}).started, "script");
    t::TempDir dir;
    write_receiver(dir.file("a.ts"), "WDR K\xF6ln");        // ö in ISO 8859-1
    write_receiver(dir.file("b.ts"), "Caf\xC3\xA9 \x85!");  // é in UTF-8 and a C1 control in ISO 8859-1
    write_receiver(dir.file("c.ts"), "Chan\x1b]0;owned\x07");  // would set the terminal's title
    // The list line pads the channel to 16 bytes.
    auto line = [](const std::string& channel, const char* name, const char* end) {
        return "2026-11-28-20-00 00:00:01 " + channel + std::string(17 - channel.size(), ' ') + name + end;
    };
    const std::string a_terminal = line("WDR K\xC3\xB6ln", "a.ts", "\r\n"), a_pipe = line("WDR K\xF6ln", "a.ts", "\n");
    const std::string b_terminal = line("Caf\xC3\xA9 ?!", "b.ts", "\r\n"), b_pipe = line("Caf\xC3\xA9 \x85!", "b.ts", "\n");
    const std::string erase = "\r          \r";  // as wide as "[1/2] a.ts"
    const struct { std::string command, terminal, pipe; } rows[] = {
        {"-prn:CHNM a.ts", "WDR K\xC3\xB6ln", "WDR K\xF6ln"},
        {"-prn:CHNM b.ts", "Caf\xC3\xA9 ?!", "Caf\xC3\xA9 \x85!"},
        {"-list a.ts b.ts", "\r[1/2] a.ts" + erase + a_terminal + "\r[2/2] b.ts" + erase + b_terminal, a_pipe + b_pipe},
        {"-list a.ts", a_terminal, a_pipe},
        {"-list c.ts", line("Chan?]0;owned?", "c.ts", "\r\n"), line("Chan\x1b]0;owned\x07", "c.ts", "\n")},
        {"-json a.ts b.ts | wc -l", "\r[1/2] a.ts" + erase + "\r[2/2] b.ts" + erase + "2\r\n", "2\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        const std::string command = "'" + t::varnek_binary() + "' " + row.command;
        t::RunResult terminal = t::run_program("script", {"-qec", command, "/dev/null"}, dir.path(), {"TZ=UTC"});
        EXPECT_EQ(terminal.out, row.terminal);
        t::RunResult pipe = t::run_program("/bin/sh", {"-c", command + " 2>&1"}, dir.path(), {"TZ=UTC"});
        EXPECT_EQ(pipe.out, row.pipe);
    }
}

}  // namespace
