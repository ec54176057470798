// Undo files and -undo: every repair goes back to the very bytes and
// times, and undo data that is damaged, planted or no longer fits the
// recording writes nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <regex>
#include <sstream>

#include "builder.h"
#include "programs.h"

namespace b = varnek::build;
namespace t = varnek::test;

namespace {

// A PAT other than the one -fixpat generates, so that its write shows:
// program 1 on PMT 0x64, stream id 7, version 3, counter 0.
b::Packet other_pat() { return b::pat_packet(b::PatFields{{b::PatEntry{}}, 7, 3, 0, {}}); }

// PAT and PMT first, as a recording whose receiver packets were lost; 3000
// packets of video and audio.
b::Recipe bare() {
    b::Recipe r = b::tables_recipe();
    r.head[0] = other_pat();
    return r;
}

b::Recipe receiver(const std::string& channel = "Undo") {
    b::Recipe r = b::dated_receiver_recipe(channel);
    r.head[4] = other_pat();
    return r;
}

// The record with PMT PID 0 at the head of the second part file.
std::vector<std::string> record_in_part(const t::TempDir& dir, const b::Recipe& recipe = bare()) {
    std::vector<b::Packet> packets = b::make_recording(recipe);
    std::vector<b::Packet> second(packets.begin() + 1000, packets.end());
    second.insert(second.begin(), b::dated_receiver_recipe().head[0]);
    second[0][50] = 0;  // the PMT PID, little-endian at 50
    EXPECT_TRUE(b::write_packets(dir.file("rec.ts"), {packets.begin(), packets.begin() + 1000}));
    EXPECT_TRUE(b::write_packets(dir.file("rec.ts1"), second));
    return {dir.file("rec.ts"), dir.file("rec.ts1")};
}

std::vector<std::string> write(const t::TempDir& dir, const b::Recipe& r) {
    b::WriteResult w = b::write_recording(r, dir.file("rec.ts"));
    EXPECT_TRUE(w.ok) << w.error;
    return w.files;
}

bool is_undo_file(const std::string& name) {
    return name.size() > 5 && name.compare(name.size() - 5, 5, ".undo") == 0;
}

// The undo file a repair left in folder (the one whose name ends in .undo).
std::string undo_file_in(const std::string& folder) {
    for (const std::string& name : t::folder_names(folder))
        if (is_undo_file(name)) return folder + "/" + name;
    ADD_FAILURE() << "no undo file in " << folder;
    return folder + "/none.undo";
}

// Calls run(call, n) for each kind of call, n = 1, 2, ..., until a run killed
// on entering the n-th such call got past its last one (run gives true
// then); each kind must get there below limit.
void kill_at_each(std::initializer_list<const char*> calls, unsigned limit,
                  const std::function<bool(const char* call, unsigned n)>& run) {
    for (const char* call : calls) {
        unsigned n = 1;
        for (; n < limit; ++n) {
            SCOPED_TRACE(std::string(call) + " #" + std::to_string(n));
            if (run(call, n)) break;
        }
        EXPECT_LT(n, limit) << "no run got past its last " << call;
    }
}

// Every repair and their combinations go back to the very bytes and times.
TEST(Undo, RoundTrips) {
    struct Row {
        const char* name;
        b::Recipe recipe;
        bool in_part;  // the record with PMT PID 0 at the head of rec.ts1, bare() around it
        std::vector<std::string> args;
        size_t packets;  // that -undo writes back
    };
    const std::vector<Row> rows = {
        {"-fixqbx, moving PAT and PMT", bare(), false, {"-fixqbx", "rec.ts"}, 3},
        {"-fixqbx -force", receiver(), false, {"-fixqbx", "-force", "rec.ts"}, 1},
        {"-fixpat -force", receiver(), false, {"-fixpat", "-force", "rec.ts"}, 1},
        {"-put: -force", receiver(), false, {"-put:other.ts", "-force", "rec.ts"}, 1},
        {"-fixqbx -fixpat -force", bare(), false, {"-fixqbx", "-fixpat", "-force", "rec.ts"}, 3},
        {"PMT-PID correction in a part file", bare(), true, {"-fixqbx", "rec.ts"}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        t::TempDir dir;
        std::vector<std::string> files = row.in_part ? record_in_part(dir) : write(dir, row.recipe);
        ASSERT_TRUE(b::write_recording(bare(), dir.file("other.ts")).ok);
        t::Unchanged kept(files);
        t::RunResult repair = t::run_varnek(row.args, dir.path(), t::undo_in(dir));
        ASSERT_NE(t::read_file(files.back()), kept.bytes.back()) << repair.out << repair.err;
        EXPECT_EQ(t::folder_names(dir.file("undo")).size(), 1u);  // one undo file

        t::RunResult undo = t::run_varnek({"-undo", "rec.ts"}, dir.path(), t::undo_in(dir));
        EXPECT_EQ(undo.err, "");
        EXPECT_EQ(undo.out.substr(0, undo.out.find(" from ")),
                  "Undone: " + std::to_string(row.packets) + " packets of 'rec.ts'");
        kept.check();

        // Nothing left to take back: said so, nothing written (the times were
        // checked above; reading the bytes has moved the access time since).
        undo = t::run_varnek({"-undo", "rec.ts"}, dir.path(), t::undo_in(dir));
        EXPECT_EQ(undo.out, "");
        EXPECT_EQ(undo.err, "Error: No undo data for 'rec.ts'!\n");
        for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(t::read_file(files[i]), kept.bytes[i]);
    }
}

// Undo folders shared with another user, or made by one.
TEST(Undo, FoldersOfOtherUsers) {
    VARNEK_NOT_ON_WINDOWS("there are no POSIX users to become");
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    // An undo folder the user may not read (one that a run under sudo made)
    // is said to be so, not taken for one without undo data.
    {
        t::TempDir dir;
        write(dir, receiver());
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(t::run_varnek({"-fixqbx", "-force", "rec.ts"}, dir.path(), t::undo_in(dir)).err, "");
        t::RunResult r = t::run_as_nobody({"-undo", "rec.ts"}, dir.path(), t::undo_in(dir));
        EXPECT_EQ(r.err, "Error: Undo data for 'rec.ts' is damaged: its folder can't be read!\n");
        EXPECT_EQ(r.exit_code, 3);
    }
    // In a sticky folder another user has taken the name the undo file
    // would get as used: -undo still uses it up, and the next one finds
    // nothing left instead of undoing the same repair again.
    {
        t::TempDir dir;
        std::vector<std::string> files = write(dir, receiver());
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(chown(files[0].c_str(), 65534, 65534), 0);
        const std::string folder = dir.file("undo");
        ASSERT_EQ(t::portable::make_dir(folder.c_str(), 0777), 0);
        ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
        t::Unchanged original(files);
        ASSERT_EQ(t::run_as_nobody({"-fixqbx", "-force", "rec.ts"}, dir.path(), t::undo_in(dir)).err, "");
        const std::string file = undo_file_in(folder);
        ASSERT_TRUE(t::write_file(file.substr(0, file.size() - 5) + ".used", std::string("planted")));
        t::RunResult r = t::run_as_nobody({"-undo", "rec.ts"}, dir.path(), t::undo_in(dir));
        EXPECT_EQ(r.err, "");
        original.check();
        r = t::run_as_nobody({"-undo", "rec.ts"}, dir.path(), t::undo_in(dir));
        EXPECT_EQ(r.err, "Error: No undo data for 'rec.ts'!\n");
    }
}

// A run killed at any system call of its writes leaves each repair done
// whole or not at all, and -undo brings back the original whenever anything
// changed. strace stops the tool with SIGKILL on entering the n-th call.
TEST(Undo, KilledAnywhereEachRepairIsAllOrNothing) {
    VARNEK_NOT_ON_WINDOWS("strace stops the tool at its system calls");
    VARNEK_NEED_PROGRAM("strace");
    t::TempDir dir;
    std::vector<std::string> files = write(dir, bare());
    const b::Bytes original = t::read_file(files[0]);
    // The bytes after -fixqbx alone and after both repairs.
    t::run_varnek({"-fixqbx", "rec.ts"}, dir.path(), {"VARNEK_UNDO_DIR=" + dir.file("scratch")});
    const b::Bytes after_qbx = t::read_file(files[0]);
    t::run_varnek({"-fixpat", "-force", "rec.ts"}, dir.path(), {"VARNEK_UNDO_DIR=" + dir.file("scratch")});
    const b::Bytes after_both = t::read_file(files[0]);
    ASSERT_NE(after_qbx, after_both);

    // The writes into the recording, the undo file's renaming into place,
    // its flush to the disk and the recording's times put back (killed
    // before that, a write leaves the time it set).
    kill_at_each({"pwrite64", "rename,renameat,renameat2", "fsync", "utimensat"}, 40, [&](const char* call, unsigned n) {
        EXPECT_TRUE(t::write_file(files[0], original));
        const std::vector<std::string> env = {"VARNEK_UNDO_DIR=" + dir.file("undo-" + (call + std::to_string(n)))};
        const std::vector<std::string> args = {"-fixqbx", "-fixpat", "-force", "rec.ts"};
        t::RunResult r = t::run_under_strace(t::kill_at(call, n), args, dir.path(), env);
        const b::Bytes now = t::read_file(files[0]);
        EXPECT_TRUE(now == original || now == after_qbx || now == after_both);
        if (now != original) {
            t::RunResult back = t::run_varnek({"-undo", "rec.ts"}, dir.path(), env);
            EXPECT_EQ(t::read_file(files[0]), original) << back.err;
        }
        return r.signal == 0;
    });
}

// 1: the state a repair left, changed afterwards as users change files:
// -undo writes nothing unless every part file is as the repair left it.
TEST(Undo, RefusesWhatIsNoLongerTheRepairedFile) {
    VARNEK_NOT_ON_WINDOWS("under wine a read moves the access time that these checks hold to the nanosecond");
    struct Row {
        const char* name;
        bool in_part;  // the repair wrote into rec.ts1 (a record found there)
        std::function<void(const t::TempDir&, const b::Bytes& original)> change;
        std::string undone, err;  // the name given to -undo, and what it says
    };
    const std::string changed = "Error: Can't undo 'rec.ts': it was changed after the repair!\n";
    auto append_keeping_times = [](const std::string& path) {
        const t::Unchanged was({path}, t::Unchanged::keep_times);
        b::Bytes bytes = was.bytes[0];
        bytes.insert(bytes.end(), 188, 0x47);
        t::write_file(path, bytes);
        varnek::set_file_times(path.c_str(), was.times[0]);
    };
    auto replace_by_copy = [](const std::string& path, const std::string& of) {  // a new file, the same name
        t::write_file(path + ".new", t::read_file(of));
        std::filesystem::rename(path + ".new", path);
    };
    using Dir = const t::TempDir&;
    using Original = const b::Bytes&;
    const std::vector<Row> rows = {
        {"appended to, its times put back", false, [&](Dir d, Original) { append_keeping_times(d.file("rec.ts")); },
         "rec.ts", changed},
        {"completed by a full copy of the original (the same inode)", false,
         [](Dir d, Original original) {
             b::Bytes longer = original;
             longer.insert(longer.end(), original.begin(), original.end());
             t::write_file(d.file("rec.ts"), longer);
         },
         "rec.ts", changed},
        {"the original copied back, times and all", false,
         [](Dir d, Original original) {
             t::write_file(d.file("rec.ts"), original);
             varnek::set_file_times(d.file("rec.ts").c_str(), t::Unchanged::old);
         },
         "rec.ts", changed},
        {"renamed: another name with the identity the undo file names", false,
         [](Dir d, Original) { std::filesystem::rename(d.file("rec.ts"), d.file("b.ts")); }, "b.ts",
         "Error: No undo data for 'b.ts'!\n"},
        {"replaced by another file", false, [&](Dir d, Original) { replace_by_copy(d.file("rec.ts"), d.file("other.ts")); },
         "rec.ts", "Error: No undo data for 'rec.ts'!\n"},
        {"a part file appended to", true, [&](Dir d, Original) { append_keeping_times(d.file("rec.ts1")); }, "rec.ts",
         changed},
        {"a part file replaced", true, [&](Dir d, Original) { replace_by_copy(d.file("rec.ts1"), d.file("rec.ts1")); },
         "rec.ts", "Error: Can't undo 'rec.ts': 'rec.ts1' is not the file the repair changed!\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        t::TempDir dir;
        const std::vector<std::string> env = t::undo_in(dir);
        std::vector<std::string> files = row.in_part ? record_in_part(dir) : write(dir, receiver());
        ASSERT_TRUE(b::write_recording(bare(), dir.file("other.ts")).ok);
        t::Unchanged original(files);
        // A record in a part file gets its PMT PID there; else the head is new.
        t::RunResult repair = t::run_varnek({"-fixqbx", row.in_part ? "-fixqbx" : "-force", "rec.ts"}, dir.path(), env);
        ASSERT_EQ(repair.err, "");
        ASSERT_NE(row.in_part ? t::read_file(files[1]) : t::read_file(files[0]),
                  row.in_part ? original.bytes[1] : original.bytes[0]);
        row.change(dir, original.bytes[0]);
        const std::string name = dir.file(row.undone);
        t::Unchanged now(row.in_part ? std::vector<std::string>{name, name + "1"} : std::vector<std::string>{name},
                         t::Unchanged::keep_times);
        t::RunResult undo = t::run_varnek({"-undo", row.undone}, dir.path(), env);
        EXPECT_EQ(undo.err, row.err);
        EXPECT_EQ(undo.out, "");
        EXPECT_TRUE(now.same());
    }
}

// 2: undo data that another user could have written or swapped is never
// used, whatever it holds; undo files are the user's alone.
TEST(Undo, TakesOnlyTheUsersOwnSafeUndoData) {
    VARNEK_NOT_ON_WINDOWS("files and folders have access lists there, not modes");
    struct Row {
        const char* name;
        bool needs_root;
        std::function<void(const std::string& folder, const std::string& file, const std::string& later)> plant;
        std::string why;  // empty: undone
    };
    namespace fs = std::filesystem;
    using Path = const std::string&;
    const std::vector<Row> rows = {
        {"the user's own file in a sticky folder all may write to", false,
         [](Path folder, Path, Path) { fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit); }, ""},
        {"a later one planted by another user", true,
         [](Path folder, Path file, Path later) {
             fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit);
             fs::copy_file(file, later);
             ASSERT_EQ(chown(later.c_str(), 65534, 65534), 0);
         },
         "it belongs to another user"},
        {"a symbolic link", false, [](Path, Path file, Path later) { fs::create_symlink(file, later); },
         "it is a symbolic link"},
        {"a second name of the user's own file", false,
         [](Path, Path file, Path later) { fs::create_hard_link(file, later); },
         "it has more than one name"},
        {"a FIFO", false, [](Path, Path, Path later) { ASSERT_EQ(t::portable::make_fifo(later.c_str()), 0); },
         "it is not a regular file"},
        {"a file the group may write", false, [](Path, Path file, Path) { fs::permissions(file, fs::perms(0620)); },
         "others may write to it"},
        {"a folder all may write to, not sticky", false,
         [](Path folder, Path, Path) { fs::permissions(folder, fs::perms::all); },
         "others may write to its folder"},
        {"a folder of another user", true,
         [](Path folder, Path, Path) { ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0); },
         "its folder belongs to another user"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (t::skip_row(row.needs_root && geteuid() != 0, row.name, "needs root to give a file to another user")) continue;
        t::TempDir dir;
        const std::string folder = dir.file("undo");
        const std::vector<std::string> env = t::undo_in(dir);
        std::vector<std::string> files = write(dir, receiver());
        t::Unchanged original(files);
        ASSERT_EQ(t::run_varnek({"-fixqbx", "-force", "rec.ts"}, dir.path(), env).err, "");
        const std::string file = undo_file_in(folder);
        const std::string later = folder + "/09999999999999999999" + file.substr(folder.size() + 21);
        row.plant(folder, file, later);
        t::Unchanged repaired(files, t::Unchanged::keep_times);
        t::RunResult undo = t::run_varnek({"-undo", "rec.ts"}, dir.path(), env);
        if (row.why.empty()) {
            EXPECT_EQ(undo.err, "");
            original.check();
        } else {
            EXPECT_EQ(undo.err, "Error: Undo data for 'rec.ts' is not safe: " + row.why + "!\n");
            EXPECT_EQ(undo.out, "");
            EXPECT_TRUE(repaired.same());
        }
    }
    // Made under any umask, undo files are for the user's eyes alone, used
    // or not; a folder that others could write to gets none, and so the
    // repair is not done.
    t::TempDir dir;
    std::vector<std::string> files = write(dir, receiver());
    const std::string command = "umask 0 && exec '" + t::varnek_binary() + "' ";
    t::run_program("/bin/sh", {"-c", command + "-fixqbx -force rec.ts"}, dir.path(), t::undo_in(dir));
    const std::string file = undo_file_in(dir.file("undo"));
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
    t::run_program("/bin/sh", {"-c", command + "-undo rec.ts"}, dir.path(), t::undo_in(dir));
    EXPECT_EQ(fs::status(file.substr(0, file.size() - 5) + ".used").permissions(), fs::perms(0600));

    ASSERT_EQ(t::portable::make_dir(dir.file("open").c_str(), 0777), 0);
    fs::permissions(dir.file("open"), fs::perms::all);
    t::Unchanged kept(files);
    t::RunResult r = t::run_varnek({"-fixqbx", "-force", "rec.ts"}, dir.path(), {"VARNEK_UNDO_DIR=" + dir.file("open")});
    EXPECT_EQ(r.err, "Error: Can't save undo data for 'rec.ts'!\n");
    kept.check();
    EXPECT_TRUE(t::folder_names(dir.file("open")).empty());
}

// 3: undo files damaged at random, or of another recording: -undo leaves
// the recording exactly as the repair left it, or brings back the
// original, never anything else.
TEST(Undo, DamagedUndoFilesWriteNothingElse) {
    VARNEK_NOT_ON_WINDOWS("under wine a read moves the access time that these checks hold to the nanosecond");
    t::TempDir dir;
    const std::string folder = dir.file("undo");
    const std::vector<std::string> env = t::undo_in(dir);
    std::vector<std::string> files = write(dir, bare());
    ASSERT_TRUE(b::write_recording(receiver(), dir.file("b.ts")).ok);
    const t::Unchanged original(files);
    ASSERT_EQ(t::run_varnek({"-fixqbx", "-fixpat", "-force", "rec.ts"}, dir.path(), env).err, "");
    const std::string own_path = undo_file_in(folder), own = t::read_text(own_path);
    std::filesystem::remove(own_path);
    ASSERT_EQ(t::run_varnek({"-fixpat", "-force", "b.ts"}, dir.path(), env).err, "");
    const std::string b_path = undo_file_in(folder), other = t::read_text(b_path);
    std::filesystem::remove(b_path);
    const t::Unchanged repaired(files, t::Unchanged::keep_times);
    ASSERT_NE(repaired.bytes[0], original.bytes[0]);

    std::mt19937 random(20261128);
    auto below = [&](size_t n) { return size_t(random() % n); };
    unsigned undone = 0, refused = 0;
    const unsigned rounds = 1000;
    for (unsigned round = 0; round < rounds; ++round) {
        std::string text = below(8) == 0 ? other : own;
        std::vector<std::string> lines;  // each with its end, as both texts end in one
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
        const size_t kind = below(8);
        const char* kinds[] = {"as it is",       "bits flipped",  "cut short",      "a line deleted",
                               "a line doubled", "lines swapped", "bytes inserted", "bytes replaced"};
        switch (kind) {
            case 0: break;
            case 1:
                for (size_t n = 1 + below(3); n > 0; --n) text[below(text.size())] ^= char(1 << below(8));
                break;
            case 2: text.resize(below(text.size())); break;
            case 3: lines.erase(lines.begin() + long(below(lines.size()))); break;
            case 4: {
                const size_t at = below(lines.size());
                lines.insert(lines.begin() + long(at), lines[at]);
                break;
            }
            case 5: std::swap(lines[below(lines.size())], lines[below(lines.size())]); break;
            case 6: text.insert(below(text.size()), std::string(1 + below(4), char(below(256)))); break;
            case 7: text[below(text.size())] = char(below(256)); break;
        }
        if (kind >= 3 && kind <= 5) {
            text.clear();
            for (const std::string& line : lines) text += line;
        }
        SCOPED_TRACE("round " + std::to_string(round) + ": " + kinds[kind]);
        for (const std::string& name : t::folder_names(folder)) std::filesystem::remove(folder + "/" + name);
        ASSERT_TRUE(t::write_file(own_path, b::Bytes(text.begin(), text.end())));
        std::filesystem::permissions(own_path, std::filesystem::perms(0600));
        t::RunResult undo = t::run_varnek({"-undo", "rec.ts"}, dir.path(), env);
        if (repaired.same()) {
            ++refused;
            EXPECT_NE(undo.err, "");
        } else if (original.same()) {
            ++undone;
            repaired.restore();
        } else {
            FAIL() << "neither repaired nor original: " << undo.out << undo.err;
        }
    }
    EXPECT_GT(undone, 0u);
    EXPECT_GT(refused, rounds / 2);
}

// 10: the fuzz targets and the repairs as the tests run them put their undo
// files into their own folders; the user's home and state folders stay empty.
TEST(Undo, FuzzTargetsAndTestsWriteNothingHome) {
    VARNEK_NOT_ON_WINDOWS("the fuzz targets are built for the build machine");
#if !defined(VARNEK_FUZZ_RUN) || !defined(VARNEK_FUZZ_UNDO)
    GTEST_SKIP() << "the fuzz targets are not built for this system";
#else
    t::TempDir dir;
    for (const char* folder : {"home", "state", "tmp"})
        ASSERT_EQ(t::portable::make_dir(dir.file(folder).c_str(), 0700), 0);
    // A recording that -fixqbx repairs, as fuzz_run reads it (its first byte:
    // one part file, no -force), and an undo file fuzz_undo reads.
    b::Bytes run_input = {0x00};
    const b::Bytes recording = b::recording_bytes(bare());
    run_input.insert(run_input.end(), recording.begin(), recording.end());
    ASSERT_TRUE(t::write_file(dir.file("run.in"), run_input));
    ASSERT_TRUE(t::write_file(dir.file("undo.in"), std::string("\x03varnek-undo 2\n")));
    const std::vector<std::string> env = {"HOME=" + dir.file("home"), "XDG_STATE_HOME=" + dir.file("state"),
                                          "TMPDIR=" + dir.file("tmp"), "VARNEK_UNDO_DIR="};
    for (const auto& [program, input] :
         {std::pair{VARNEK_FUZZ_RUN, "run.in"}, std::pair{VARNEK_FUZZ_UNDO, "undo.in"}}) {
        SCOPED_TRACE(program);
        t::RunResult r = t::run_program(program, {dir.file(input)}, dir.path(), env);
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
    // The repairs of this suite: every kind, and the undo of each.
    ASSERT_TRUE(b::write_recording(bare(), dir.file("rec.ts")).ok);
    ASSERT_TRUE(b::write_recording(receiver(), dir.file("put.ts")).ok);
    const std::vector<std::vector<std::string>> runs = {
        {"-fixqbx", "rec.ts"}, {"-fixpat", "-force", "rec.ts"}, {"-put:put.ts", "-force", "rec.ts"},
        {"-get:h.bin", "rec.ts"}, {"-undo", "rec.ts"}, {"-undo", "rec.ts"}, {"-undo", "rec.ts"}};
    const std::vector<std::string> home = {"HOME=" + dir.file("home"), "XDG_STATE_HOME=" + dir.file("state")};
    for (const std::vector<std::string>& args : runs) EXPECT_EQ(t::run_varnek(args, dir.path(), home).err, "");
    for (const char* folder : {"home", "state", "tmp"})
        EXPECT_EQ(t::folder_names(dir.file(folder)), std::vector<std::string>{}) << folder;
#endif
}

// 7: -undo with -json: one object per recording, errors in it and on the
// error stream as always.
TEST(Undo, JsonObjectPerRecording) {
    t::TempDir dir;
    const std::vector<std::string> env = t::undo_in(dir);
    write(dir, bare());
    ASSERT_TRUE(b::write_recording(bare(), dir.file("b.ts")).ok);
    t::run_varnek({"-fixqbx", "rec.ts", "b.ts"}, dir.path(), env);
    b::Bytes changed = t::read_file(dir.file("b.ts"));
    changed[200] ^= 0xFF;
    ASSERT_TRUE(t::write_file(dir.file("b.ts"), changed));
    t::Unchanged kept({dir.file("b.ts")});
    t::RunResult r = t::run_varnek({"-undo", "-json", "rec.ts", "b.ts", "missing.ts", "rec.ts"}, dir.path(), env);
    const std::string out = std::regex_replace(
        r.out, std::regex("\"20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\""), "\"DATE\"");
    EXPECT_EQ(
        out,
        "{\"recording\":\"rec.ts\",\"undone\":3,\"from\":\"DATE\",\"error\":null}\n"
        "{\"recording\":\"b.ts\",\"undone\":0,\"from\":\"DATE\",\"error\":\"Can't undo 'b.ts': it was changed after "
        "the repair\"}\n"
        "{\"recording\":\"missing.ts\",\"undone\":0,\"from\":null,\"error\":\"Can't open 'missing.ts' for reading\"}\n"
        "{\"recording\":\"rec.ts\",\"undone\":0,\"from\":null,\"error\":\"No undo data for 'rec.ts'\"}\n");
    EXPECT_EQ(r.err,
              "Error: Can't undo 'b.ts': it was changed after the repair!\n"
              "Error: Can't open 'missing.ts' for reading!\n"
              "Error: No undo data for 'rec.ts'!\n");
    kept.check();
}

// 8: the undo folder is flushed after each rename in it, and -undo flushes
// the recording before it says "Undone". strace shows the order of the calls
// with the files behind their descriptors.
TEST(Undo, FlushesBeforeItTells) {
    VARNEK_NOT_ON_WINDOWS("strace shows the tool's system calls");
    VARNEK_NEED_PROGRAM("strace");
    t::TempDir dir;
    write(dir, bare());
    const std::string folder = dir.file("undo");
    auto calls = [&](const std::vector<std::string>& args) {
        t::RunResult r = t::run_under_strace(
            {"-f", "-y", "-s", "16", "-o", dir.file("calls"), "-e",
             "trace=pwrite64,ftruncate,fsync,rename,renameat,renameat2,write"},
            args, dir.path(), t::undo_in(dir));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        // One word per call: what it does to which file.
        std::vector<std::string> words;
        std::istringstream lines(t::read_text(dir.file("calls")));
        for (std::string line; std::getline(lines, line);) {
            const bool into_folder = line.find("<" + folder + ">") != std::string::npos;
            const bool into_recording = line.find("rec.ts>") != std::string::npos;
            if (line.find(" rename") != std::string::npos && line.find(folder + "/") != std::string::npos)
                words.push_back(line.find(".used\"") != std::string::npos ? "mark used" : "rename undo file");
            else if (line.find(" fsync(") != std::string::npos && (into_folder || into_recording))
                words.push_back(into_folder ? "flush folder" : "flush recording");
            else if (line.find(" pwrite64(") != std::string::npos && into_recording)
                words.push_back("write recording");
            else if (line.find(" write(1<") != std::string::npos)
                words.push_back("say");
        }
        return words;
    };
    const std::vector<std::string> repair = calls({"-fixqbx", "rec.ts"});
    // The run's undo file before the write and after it, each renamed into
    // place with the folder flushed behind it; the recording's own flush is
    // not this test's.
    std::vector<std::string> undo_side;
    for (const std::string& w : repair)
        if (w != "flush recording" && w != "say") undo_side.push_back(w);
    EXPECT_EQ(undo_side, (std::vector<std::string>{"rename undo file", "flush folder", "write recording",
                                                   "rename undo file", "flush folder"}));
    EXPECT_EQ(calls({"-undo", "rec.ts"}),
              (std::vector<std::string>{"rename undo file", "flush folder", "write recording", "flush recording",
                                        "mark used", "flush folder", "say"}));
}

// A -undo killed at any system call of its writes is taken up by the next
// -undo, which completes it: the original bytes and times, the undo file
// used. Rows: a write that appended to a short recording (-undo cuts it
// off again), and writes into two part files.
TEST(Undo, KilledAnywhereUndoIsCompletedByTheNext) {
    VARNEK_NOT_ON_WINDOWS("strace stops the tool at its system calls");
    VARNEK_NEED_PROGRAM("strace");
    struct Row {
        const char* name;
        bool in_part;
        std::vector<std::string> repair;
    };
    const Row rows[] = {
        {"appended to a short recording", false, {"-put:source.ts", "-force", "rec.ts"}},
        {"two part files", true, {"-fixqbx", "-fixpat", "rec.ts"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        t::TempDir dir;
        const std::string folder = dir.file("undo");
        std::vector<std::string> files;
        if (row.in_part) {
            b::Recipe no_pat = bare();  // -fixpat writes one into rec.ts, -fixqbx the PMT PID into rec.ts1
            no_pat.head.erase(no_pat.head.begin());
            files = record_in_part(dir, no_pat);
        } else {
            ASSERT_TRUE(t::write_file(dir.file("rec.ts"), b::Bytes(100, 0x55)));
            ASSERT_TRUE(b::write_recording(receiver(), dir.file("source.ts")).ok);
            files = {dir.file("rec.ts")};
        }
        const t::Unchanged original(files);
        ASSERT_EQ(t::run_varnek(row.repair, dir.path(), t::undo_in(dir)).err, "");
        const t::Unchanged repaired(files, t::Unchanged::keep_times);
        for (size_t i = 0; i < files.size(); ++i) ASSERT_NE(original.bytes[i], repaired.bytes[i]) << files[i];
        const std::string undo_path = undo_file_in(folder);
        const b::Bytes undo_text = t::read_file(undo_path);

        const auto calls = {"pwrite64", "ftruncate", "utimensat", "fsync", "rename,renameat,renameat2"};
        kill_at_each(calls, 20, [&](const char* call, unsigned n) {
            repaired.restore();
            for (const std::string& name : t::folder_names(folder)) std::filesystem::remove(folder + "/" + name);
            EXPECT_TRUE(t::write_file(undo_path, undo_text));
            std::filesystem::permissions(undo_path, std::filesystem::perms(0600));
            t::RunResult killed = t::run_under_strace(t::kill_at(call, n), {"-undo", "rec.ts"}, dir.path(), t::undo_in(dir));
            if (killed.signal == 0) {  // past its last such call: done
                EXPECT_EQ(killed.exit_code, 0);
                EXPECT_TRUE(original.same());
                return true;
            }
            t::RunResult again = t::run_varnek({"-undo", "rec.ts"}, dir.path(), t::undo_in(dir));
            EXPECT_TRUE(original.same()) << again.err;
            const std::vector<std::string> left = t::folder_names(folder);
            EXPECT_TRUE(std::none_of(left.begin(), left.end(), is_undo_file)) << again.err;
            return false;
        });
    }
}

}  // namespace
