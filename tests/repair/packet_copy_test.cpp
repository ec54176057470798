// Where the tool's writes may go: the targets it refuses, whichever option
// would write; files named directly, which -get: writes or replaces whole;
// -get:- ; and -dry runs whose later steps read what the earlier ones would
// have written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/sysmacros.h>
#include <sys/types.h>
#endif

#include <algorithm>
#include <filesystem>
#include <regex>

#include "builder.h"
#include "programs.h"

namespace b = varnek::build;
namespace t = varnek::test;

namespace {

using Args = std::vector<std::string>;

t::Bytes first_packet(const std::string& path) {
    t::Bytes bytes = t::read_file(path);
    bytes.resize(188);
    return bytes;
}

// Each entry of a folder as a line: its name, kind and mode, where a link
// points, and (POSIX) its owner and group.
std::string folder_state(const std::string& folder) {
    namespace fs = std::filesystem;
    std::string state;
    for (const std::string& name : t::folder_names(folder)) {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(folder + "/" + name, ec);
        state += name + " " + std::to_string(int(status.type())) + " " + std::to_string(int(status.permissions()));
        if (fs::is_symlink(status)) state += " -> " + fs::read_symlink(folder + "/" + name, ec).string();
#ifndef _WIN32
        struct stat st;
        if (lstat((folder + "/" + name).c_str(), &st) == 0)
            state += " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
#endif
        state += "\n";
    }
    return state;
}

// The targets of both tables: the recording rec.ts with its part file
// rec.ts1, the recording b.ts, h.bin (300 bytes), and on POSIX systems
// own.bin (the same, mode 0640), the FIFO pipe, the links alias.ts (to
// rec.ts), link.ts (to elsewhere.ts), gone.bin (to gone) and null.bin (to
// /dev/null), and, planted by root, victim (a set-ID file of nobody's), the
// block device disk (no driver behind it) and the links victim.bin and
// disk.bin to them. later.ts does not exist.
void plant_targets(const t::TempDir& dir) {
    b::Recipe parts = b::dated_receiver_recipe();
    parts.part_packets = 2000;
    ASSERT_TRUE(b::write_recording(parts, dir.file("rec.ts")).ok);
    ASSERT_TRUE(b::write_recording(b::dated_receiver_recipe("B"), dir.file("b.ts")).ok);
    ASSERT_TRUE(t::write_file(dir.file("h.bin"), t::Bytes(300, 0xAB)));
#ifndef _WIN32
    ASSERT_TRUE(t::write_file(dir.file("own.bin"), t::Bytes(300, 0xAB)));
    ASSERT_EQ(chmod(dir.file("own.bin").c_str(), 0640), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    for (const auto& [link, target] : {std::pair{"alias.ts", "rec.ts"}, std::pair{"link.ts", "elsewhere.ts"},
                                       std::pair{"gone.bin", "gone"}, std::pair{"null.bin", "/dev/null"}})
        ASSERT_EQ(symlink(target, dir.file(link).c_str()), 0);
    if (geteuid() != 0) return;
    ASSERT_TRUE(t::write_file(dir.file("victim"), t::Bytes(300, 0xAB)));
    ASSERT_EQ(chown(dir.file("victim").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dir.file("victim").c_str(), 06755), 0);
    ASSERT_EQ(mknod(dir.file("disk").c_str(), S_IFBLK | 0600, makedev(240, 0)), 0);
    ASSERT_EQ(symlink("victim", dir.file("victim.bin").c_str()), 0);
    ASSERT_EQ(symlink("disk", dir.file("disk.bin").c_str()), 0);
#endif
}

// Every write the tool refuses, whichever option would make it: the run ends
// with 3 and its one reason, the target and whatever it names stay as they
// were (bytes, times, mode, owner, link), and nothing is created.
TEST(Targets, RefusedWritesChangeNothing) {
    enum Needs { anywhere, posix, root, nobody };  // nobody: run as nobody, on nobody's recording, by root
    struct Row {
        Args action;  // the option that would write, and the recordings named
        const char* cause;
        std::string err;
        Needs needs = anywhere;
    };
    const std::string recording = "Error: Refusing to overwrite recording '", through = "Error: Refusing to write through '";
    // Each of rec.ts and b.ts has a record to copy; later.ts cannot be read.
    auto each = [&](const std::string& target) {
        return recording + target + "'!\n" + recording + target + "'!\nError: Can't open 'later.ts' for reading!\n";
    };
    const Row rows[] = {
        {{"-get:rec.ts", "rec.ts"}, "the recording", recording + "rec.ts'!\n"},
        {{"-get:./rec.ts", "rec.ts"}, "the recording by another name", recording + "./rec.ts'!\n"},
        {{"-get:rec.ts1", "rec.ts"}, "its part file", recording + "rec.ts1'!\n"},
        {{"-get:./rec.ts1", "rec.ts"}, "its part file by another name", recording + "./rec.ts1'!\n"},
        {{"-get:alias.ts", "rec.ts"}, "a link to the recording", recording + "alias.ts'!\n", posix},
        {{"-get:b.ts", "rec.ts", "b.ts", "later.ts"}, "another recording of the command line", each("b.ts")},
        {{"-get:./b.ts", "rec.ts", "b.ts", "later.ts"}, "the same by another name", each("./b.ts")},
        {{"-get:b.ts1", "rec.ts", "b.ts", "later.ts"}, "a part file it may get", each("b.ts1")},
        {{"-get:later.ts", "rec.ts", "b.ts", "later.ts"}, "one that does not exist yet", each("later.ts")},
        {{"-get:victim.bin", "rec.ts"}, "a link to another user's file", through + "victim.bin'!\n", root},
        {{"-get:gone.bin", "rec.ts"}, "a dangling link", through + "gone.bin'!\n", posix},
        {{"-get:disk.bin", "rec.ts"}, "a link to a block device", through + "disk.bin'!\n", root},
        {{"-get:disk", "rec.ts"}, "a block device", through + "disk'!\n", root},
        {{"-get:null.bin", "rec.ts"}, "a link to the null device", through + "null.bin'!\n", posix},
        {{"-get:/dev/stdout", "rec.ts"}, "/dev/stdout, a link", through + "/dev/stdout'!\n", posix},
        {{"-get:h.bin", "rec.ts"}, "root's file, by a user who cannot give it back to root", through + "h.bin'!\n", nobody},
        {{"-salvage:rec.ts", "rec.ts"}, "the recording", recording + "rec.ts'!\n", posix},
        {{"-salvage:./rec.ts1", "-force", "rec.ts"}, "its part file", recording + "./rec.ts1'!\n", posix},
        {{"-salvage:rec.ts7", "rec.ts"}, "a part file it may get", recording + "rec.ts7'!\n", posix},
        {{"-salvage:rec.ts2", "alias.ts"}, "a part file it may get, by another name of it", recording + "rec.ts2'!\n",
         posix},
        {{"-salvage:link.ts", "-force", "rec.ts"}, "a symbolic link",
         "Error: 'link.ts' is a symbolic link: not written!\n", posix},
        {{"-fixqbx", "-fixpat", "-put:rec.ts", "rec.ts1"}, "a part file named as a recording (as *.ts* names it)",
         "Error: 'rec.ts1' is a part file of 'rec.ts': not repaired!\n"},
        {{"-put:h.bin", "/dev/null"}, "a device named as the recording",
         "Error: Can't reopen '/dev/null' for writing!\n", posix},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.action[0] + (" onto " + std::string(row.cause)));
        // (On Windows no user is root.)
        if (t::skip_row(row.needs == posix ? VARNEK_ON_WINDOWS : row.needs >= root && geteuid() != 0,
                        row.action[0] + " " + row.cause, row.needs == posix ? "needs POSIX links and devices" : "needs root for devices and other users"))
            continue;
        t::TempDir dir;
        plant_targets(dir);
        if (row.needs == nobody) {  // the recording nobody's, so that it keeps its times
            for (const char* name : {"rec.ts", "rec.ts1"}) ASSERT_EQ(chown(dir.file(name).c_str(), 65534, 65534), 0);
            ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
        }
        const std::string before = folder_state(dir.path());
        Args files;
        for (const std::string& name : t::folder_names(dir.path()))
            if (std::filesystem::is_regular_file(std::filesystem::symlink_status(dir.file(name))))
                files.push_back(dir.file(name));
        t::Unchanged kept(files);
        t::RunResult r = t::run_varnek_restricted(row.action, dir.path(), t::no_size_limit, row.needs == nobody, {},
                                                  t::undo_in(dir));
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_EQ(r.err, row.err);
        EXPECT_FALSE(t::has(r.out, "Write first") || t::has(r.out, "Overwrite") || t::has(r.out, "Salvaged")) << r.out;
        EXPECT_EQ(folder_state(dir.path()), before);
        kept.check();
    }
}

// A file named directly is written (devices, FIFOs, whoever reads them) or
// replaced whole, keeping its owner, group and mode, but not set-ID bits.
TEST(Targets, NamedDirectlyWrittenOrReplacedWhole) {
#ifdef _WIN32
    VARNEK_NOT_ON_WINDOWS("devices, FIFOs, modes and owners are POSIX here");
#else
    // The mode a file replaced has afterwards; 0: written into. -salvage:
    // replaces a file as -get: does: owner and group kept, set-ID bits never.
    const struct { std::string target; mode_t mode; bool salvage = false; } rows[] = {
        {"/dev/null", 0}, {"pipe", 0}, {"own.bin", 0640}, {"victim", 0755},
        {"own.bin", 0640, true}, {"victim", 0755, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.target + (row.salvage ? " by -salvage:" : ""));
        if (t::skip_row(row.target == "victim" && geteuid() != 0, row.target, "needs root to plant another user's file"))
            continue;
        t::TempDir dir;
        plant_targets(dir);
        const std::string path = row.target[0] == '/' ? row.target : dir.file(row.target);
        struct stat old = {};
        ASSERT_EQ(lstat(path.c_str(), &old), 0);
        // Open for reading and writing, a FIFO never waits, and the tool's open finds a reader.
        const int reader = row.target == "pipe" ? open(path.c_str(), O_RDWR | O_NONBLOCK) : -1;
        t::RunResult r = row.salvage ? t::run_varnek({"b.ts", "-salvage:" + row.target, "-force"}, dir.path())
                                     : t::run_varnek({"rec.ts", "-get:" + row.target}, dir.path());
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(t::has(r.out, row.salvage ? "Salvaged 'b.ts' into '" + row.target + "': "
                                              : "Write first ts packet to: '" + row.target + "'\n"))
            << r.out;
        if (reader >= 0) {
            uint8_t got[400];
            const ssize_t n = read(reader, got, sizeof got);
            close(reader);
            EXPECT_EQ(t::Bytes(got, got + std::max<ssize_t>(n, 0)), first_packet(dir.file("rec.ts")));
        }
        if (row.mode != 0) {
            struct stat now = {};
            ASSERT_EQ(lstat(path.c_str(), &now), 0);
            EXPECT_TRUE(S_ISREG(now.st_mode));
            EXPECT_EQ(now.st_uid, old.st_uid);
            EXPECT_EQ(now.st_gid, old.st_gid);
            EXPECT_EQ(now.st_mode & 07777, row.mode);
            if (row.salvage)
                EXPECT_EQ(t::read_file(path).size() % 188, 0u);
            else
                EXPECT_EQ(t::read_file(path), first_packet(dir.file("rec.ts")));
        }
    }
#endif
}

// -get:- : the packet alone on the standard output, one per recording with
// a record; the text goes to the error stream then.
TEST(CopyOut, PacketOnStandardOutput) {
    t::TempDir dir;
    ASSERT_TRUE(b::write_recording(b::dated_receiver_recipe(), dir.file("a.ts")).ok);
    ASSERT_TRUE(b::write_recording(b::tables_recipe(), dir.file("b.ts")).ok);
    t::RunResult r = t::run_varnek({"a.ts", "b.ts", "-get:-"}, dir.path());
    const t::Bytes packet = first_packet(dir.file("a.ts"));
    EXPECT_EQ(r.out, std::string(packet.begin(), packet.end()));
    EXPECT_NE(r.err.find("Analyse: 'a.ts' BEG"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\n\nWrite first ts packet to: '-'\nAnalyse: 'b.ts' BEG"), std::string::npos) << r.err;
    // With -dry nothing is written, and said so where the text goes.
    r = t::run_varnek({"a.ts", "-get:-", "-dry"}, dir.path());
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("\nWould: Write first ts packet to: '-'\n"), std::string::npos) << r.err;
}

// A -dry run says what the real run says, but for "Would: " in front of
// the writes, and writes nothing (no byte, no time, no undo file), also
// where a later step reads what an earlier one would have written.
TEST(DryRun, PreviewsTheWholeRun) {
    struct Row {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::vector<std::string>> before = {};  // real runs first
        bool open_undo_folder = false;  // all may write to it, not sticky: the real run writes no undo file there
        uint64_t size_limit = t::no_size_limit;
        std::string said = "";  // the dry run's lines behind the report, when given
    };
    const std::vector<Row> rows = {
        {"-fixpat finds the PAT that -fixqbx would have moved", {"-fixqbx", "-fixpat", "-get:h.bin", "b.ts"}, {}, false,
         t::no_size_limit,
         "Would: Overwrite 1. ts packet with QBX\nWould: Overwrite 2. ts packet with PAT\n"
         "Would: Overwrite 3. ts packet with PMT\nPAT already exists\nWould: Write first ts packet to: 'h.bin'\n"},
        {"-put: reads the file that -get: wrote for the recording before", {"-get:h.bin", "-put:h.bin", "a.ts", "b.ts"}},
        {"-put: of the same recording reads what its -get: wrote", {"-get:h.bin", "-put:h.bin", "-force", "a.ts"}},
        {"a recording named twice finds its new record and PAT", {"-fixqbx", "-fixpat", "b.ts", "b.ts"}},
        {"and under another name", {"-fixqbx", "b.ts", "./b.ts"}},
        {"a recording named again after -put: wrote into it", {"-put:a.ts", "-force", "b.ts", "b.ts"}},
        {"a link as -get:'s target", {"-get:link", "a.ts"}},
        {"repairs without a safe undo folder", {"-fixqbx", "-fixpat", "-force", "b.ts"}, {}, true},
        {"repairs beyond the file-size limit", {"-fixqbx", "-fixpat", "-force", "b.ts"}, {}, false, 100},
        {"-undo of a recording named again goes one repair further back",
         {"-undo", "b.ts", "./b.ts", "b.ts"},
         {{"-fixqbx", "b.ts"}, {"-fixpat", "-force", "b.ts"}}},
    };
    // The files of a folder, and what they hold.
    auto contents = [](const std::string& folder) {
        std::vector<std::pair<std::string, t::Bytes>> files;
        for (const std::string& name : t::folder_names(folder)) files.push_back({name, t::read_file(folder + "/" + name)});
        return files;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (t::skip_row((row.open_undo_folder || row.size_limit != t::no_size_limit) && VARNEK_ON_WINDOWS, row.what,
                        "not on Windows: no modes, no file-size limit"))
            continue;
        t::RunResult runs[2];
        for (int dry = 1; dry >= 0; --dry) {
            t::TempDir dir;
            ASSERT_TRUE(b::write_recording(b::dated_receiver_recipe(), dir.file("a.ts")).ok);
            ASSERT_TRUE(b::write_recording(b::tables_recipe(), dir.file("b.ts")).ok);
            if (!VARNEK_ON_WINDOWS) {
                ASSERT_EQ(varnek::test::portable::make_symlink("gone", dir.file("link").c_str()), 0);
            }
            const std::vector<std::string> env = t::undo_in(dir);
            if (row.open_undo_folder) {
                ASSERT_EQ(t::portable::make_dir(dir.file("undo").c_str(), 0777), 0);
                std::filesystem::permissions(dir.file("undo"), std::filesystem::perms::all);
            }
            for (const std::vector<std::string>& before : row.before)
                ASSERT_EQ(t::run_varnek(before, dir.path(), env).exit_code, 0);
            const t::Unchanged kept({dir.file("a.ts"), dir.file("b.ts")});
            const auto undo_files = contents(dir.file("undo"));
            std::vector<std::string> args = row.args;
            if (dry) args.push_back("-dry");
            runs[dry] = row.size_limit != t::no_size_limit ? t::run_varnek_restricted(args, dir.path(), row.size_limit)
                                                           : t::run_varnek(args, dir.path(), env);
            if (dry) {
                kept.check();
                EXPECT_FALSE(t::file_exists(dir.file("h.bin")));
                EXPECT_EQ(contents(dir.file("undo")), undo_files);
                EXPECT_EQ(t::file_exists(dir.file("undo")), row.open_undo_folder || !row.before.empty());
            }
        }
        // The repairs' dates may fall into different seconds.
        const std::regex date(" from [0-9-]+ [0-9:]+");
        std::string preview = std::regex_replace(t::without_testtime(runs[1].out), date, "");
        for (size_t at; (at = preview.find("Would: ")) != std::string::npos;) preview.erase(at, 7);
        EXPECT_EQ(preview, std::regex_replace(t::without_testtime(runs[0].out), date, ""));
        EXPECT_EQ(runs[1].err, runs[0].err);
        EXPECT_EQ(runs[1].exit_code, runs[0].exit_code);
        if (!row.said.empty()) {
            EXPECT_EQ(t::repair_lines(runs[1].out), row.said);
        }
    }
}

}  // namespace
