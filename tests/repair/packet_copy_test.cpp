// -get:'s target as a hostile user would plant it, -get:- , and -dry runs
// whose later steps read what the earlier ones would have written.
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
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "builder.h"
#include "programs.h"

namespace b = varnek::build;
namespace t = varnek::test;

namespace {

b::Recipe with_record() {
    b::ReceiverFields f;
    f.duration_s = 1;
    b::Recipe r = b::receiver_recipe(f);
    r.body_packets = 3000;
    return r;
}

b::Recipe without_record() {
    b::Recipe r;
    r.head = {b::pat_packet({{1, 0x64}})};
    r.head.push_back(b::pmt_packet(b::pmt_for(r)));
    r.body_packets = 3000;
    return r;
}

t::Bytes first_packet(const std::string& path) {
    t::Bytes bytes = t::read_file(path);
    bytes.resize(188);
    return bytes;
}

#ifndef _WIN32
struct FileState {
    bool exists = false;
    bool link = false;
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
    t::Bytes bytes;
};

FileState state_of(const std::string& path) {
    FileState s;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.link = S_ISLNK(st.st_mode);
    s.owner = st.st_uid;
    s.group = st.st_gid;
    s.mode = st.st_mode & 07777;
    if (S_ISREG(st.st_mode)) s.bytes = t::read_file(path);
    return s;
}

bool same(const FileState& a, const FileState& b) {
    return a.exists == b.exists && a.link == b.link && a.owner == b.owner && a.group == b.group && a.mode == b.mode &&
           a.bytes == b.bytes;
}

// A file of the user nobody's, mode 6755, holding other bytes.
void plant_nobodys(const std::string& path) {
    ASSERT_TRUE(t::write_file(path, t::Bytes(300, 0xAB)));
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(path.c_str(), 06755), 0);
}

#endif

// The link or device is refused, and neither it nor what it names changes;
// a file named directly is written (devices, FIFOs) or replaced whole.
TEST(CopyOut, TargetsPlantedByOthers) {
#ifdef _WIN32
    VARNEK_NOT_ON_WINDOWS("links, devices, FIFOs and owners are POSIX here");
#else
    if (geteuid() != 0) GTEST_SKIP() << "needs root for device nodes and other users";
    enum Outcome { refused, written, replaced };
    struct Row {
        const char* what;
        std::string target;
        std::function<void(const t::TempDir&)> plant;
        Outcome outcome;
        std::vector<std::string> untouched = {};  // files of the folder that must stay as they were
        bool as_nobody = false;
    };
    const std::vector<Row> rows = {
        {"a link to another user's file", "h.bin",
         [](const t::TempDir& d) {
             plant_nobodys(d.file("victim"));
             ASSERT_EQ(symlink("victim", d.file("h.bin").c_str()), 0);
         },
         refused, {"victim", "h.bin"}},
        {"a dangling link", "h.bin", [](const t::TempDir& d) { ASSERT_EQ(symlink("gone", d.file("h.bin").c_str()), 0); },
         refused, {"gone", "h.bin"}},
        {"a link to a block device", "h.bin",
         [](const t::TempDir& d) {
             ASSERT_EQ(mknod(d.file("disk").c_str(), S_IFBLK | 0600, makedev(240, 0)), 0);  // no driver behind it
             ASSERT_EQ(symlink("disk", d.file("h.bin").c_str()), 0);
         },
         refused, {"disk", "h.bin"}},
        {"a block device", "disk",
         [](const t::TempDir& d) { ASSERT_EQ(mknod(d.file("disk").c_str(), S_IFBLK | 0600, makedev(240, 0)), 0); },
         refused, {"disk"}},
        {"a link to the null device", "h.bin",
         [](const t::TempDir& d) { ASSERT_EQ(symlink("/dev/null", d.file("h.bin").c_str()), 0); }, refused,
         {"h.bin"}},
        {"/dev/stdout, a link", "/dev/stdout", [](const t::TempDir&) {}, refused},
        {"the null device named directly", "/dev/null", [](const t::TempDir&) {}, written},
        {"another user's set-ID file: owner, group and mode kept, set-ID bits not", "h.bin",
         [](const t::TempDir& d) { plant_nobodys(d.file("h.bin")); }, replaced},
        {"root's file, by a user who cannot give it back to root", "h.bin",
         [](const t::TempDir& d) {
             ASSERT_TRUE(t::write_file(d.file("h.bin"), t::Bytes(300, 0xAB)));
             ASSERT_EQ(chmod(d.path().c_str(), 0777), 0);
         },
         refused, {"h.bin"}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        t::TempDir dir;
        ASSERT_TRUE(b::write_recording(with_record(), dir.file("rec.ts")).ok);
        if (row.as_nobody) {
            ASSERT_EQ(chown(dir.file("rec.ts").c_str(), 65534, 65534), 0);
        }
        row.plant(dir);
        std::vector<FileState> before;
        for (const std::string& name : row.untouched) before.push_back(state_of(dir.file(name)));
        const FileState old = state_of(dir.file(row.target));
        t::RunResult r =
            t::run_varnek_restricted({"rec.ts", "-get:" + row.target}, dir.path(), t::no_size_limit, row.as_nobody);
        const std::string line = "Write first ts packet to: '" + row.target + "'\n";
        if (row.outcome == refused) {
            EXPECT_EQ(r.err, "Error: Refusing to write through '" + row.target + "'!\n");
            EXPECT_EQ(r.out.find(line), std::string::npos);
        } else {
            EXPECT_EQ(r.err, "");
            EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
        }
        for (size_t i = 0; i < before.size(); ++i) EXPECT_TRUE(same(state_of(dir.file(row.untouched[i])), before[i]))
            << row.untouched[i] << " changed";
        if (row.outcome == replaced) {
            const FileState now = state_of(dir.file(row.target));
            EXPECT_FALSE(now.link);
            EXPECT_EQ(now.owner, old.owner);
            EXPECT_EQ(now.group, old.group);
            EXPECT_EQ(now.mode, old.mode & 0777);
            EXPECT_EQ(now.bytes, first_packet(dir.file("rec.ts")));
        }
    }
#endif
}

// A FIFO named directly is written directly, whoever reads it.
TEST(CopyOut, FifoNamedDirectly) {
#ifdef _WIN32
    VARNEK_NOT_ON_WINDOWS("FIFOs are POSIX");
#else
    t::TempDir dir;
    ASSERT_TRUE(b::write_recording(with_record(), dir.file("rec.ts")).ok);
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    // Open for reading and writing, it never waits, and the tool's open finds a reader.
    int reader = open(dir.file("pipe").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    t::RunResult r = t::run_varnek({"rec.ts", "-get:pipe"}, dir.path());
    uint8_t got[400];
    ssize_t n = read(reader, got, sizeof got);
    close(reader);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Write first ts packet to: 'pipe'\n"), std::string::npos);
    ASSERT_EQ(n, 188);
    EXPECT_EQ(t::Bytes(got, got + n), first_packet(dir.file("rec.ts")));
#endif
}

// -get:- : the packet alone on the standard output, one per recording with
// a record; the text goes to the error stream then.
TEST(CopyOut, PacketOnStandardOutput) {
    t::TempDir dir;
    ASSERT_TRUE(b::write_recording(with_record(), dir.file("a.ts")).ok);
    ASSERT_TRUE(b::write_recording(without_record(), dir.file("b.ts")).ok);
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
// the writes, and writes nothing, also where a later step reads what an
// earlier one would have written.
TEST(DryRun, PreviewsTheWholeRun) {
    struct Row {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::vector<std::string>> before = {};  // real runs first
        bool open_undo_folder = false;  // all may write to it, not sticky: the real run writes no undo file there
        uint64_t size_limit = t::no_size_limit;
    };
    const std::vector<Row> rows = {
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
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            files.push_back({entry.path().filename().string(), t::read_file(entry.path().string())});
        std::sort(files.begin(), files.end());
        return files;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if ((row.open_undo_folder || row.size_limit != t::no_size_limit) && VARNEK_ON_WINDOWS) {
            std::printf("[ skipped  ] %s: not on Windows: no modes, no file-size limit\n", row.what);
            continue;
        }
        t::RunResult runs[2];
        for (int dry = 1; dry >= 0; --dry) {
            t::TempDir dir;
            ASSERT_TRUE(b::write_recording(with_record(), dir.file("a.ts")).ok);
            ASSERT_TRUE(b::write_recording(without_record(), dir.file("b.ts")).ok);
            if (!VARNEK_ON_WINDOWS) {
                ASSERT_EQ(varnek::test::portable::make_symlink("gone", dir.file("link").c_str()), 0);
            }
            const std::vector<std::string> env = {"VARNEK_UNDO_DIR=" + dir.file("undo")};
            if (row.open_undo_folder) {
                ASSERT_EQ(t::portable::make_dir(dir.file("undo").c_str(), 0777), 0);
                std::filesystem::permissions(dir.file("undo"), std::filesystem::perms::all);
            }
            for (const std::vector<std::string>& before : row.before)
                ASSERT_EQ(t::run_varnek(before, dir.path(), env).exit_code, 0);
            const t::Bytes a = t::read_file(dir.file("a.ts")), b_bytes = t::read_file(dir.file("b.ts"));
            const auto undo_files = contents(dir.file("undo"));
            std::vector<std::string> args = row.args;
            if (dry) args.push_back("-dry");
            runs[dry] = row.size_limit != t::no_size_limit ? t::run_varnek_restricted(args, dir.path(), row.size_limit)
                                                           : t::run_varnek(args, dir.path(), env);
            if (dry) {
                EXPECT_EQ(t::read_file(dir.file("a.ts")), a);
                EXPECT_EQ(t::read_file(dir.file("b.ts")), b_bytes);
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
    }
}

}  // namespace
