// The tool against a hostile file system: files it may not write or read,
// odd names, a file cut short while it is scanned. Each case checks exit
// code, error lines, bytes and times. (Writes cut short by the file-size
// limit are Repair.FailedWritesLeaveEverythingAlone's.)
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "builder.h"
#include "programs.h"

namespace build = varnek::build;
namespace t = varnek::test;

namespace {

using Args = std::vector<std::string>;

// A record, PAT, PMT and 3000 packets of video and audio; part_packets > 0
// spreads them over part files.
build::Packet write_rec(const std::string& path, uint64_t part_packets = 0) {
    build::Recipe r = build::tables_recipe({build::qbxh_packet({})});
    r.part_packets = part_packets;
    EXPECT_TRUE(build::write_recording(r, path).ok) << path;
    return r.head[0];
}

TEST(Faults, AsUserWithoutWriteAccess) {
    VARNEK_NOT_ON_WINDOWS("there are no POSIX users to become");
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    const std::string reopen = "Error: Can't reopen 'rec.ts' for writing!\n";
    const struct { Args args; char part; std::string err, wrote = ""; } rows[] = {
        {{"-fixqbx", "-force"}, '-', reopen},
        {{"-fixpat", "-force"}, '-', reopen},
        {{"-put:h.bin", "-force"}, '-', reopen},
        {{}, 'd', "Error: 'rec.ts1' is not a regular file!\n"},  // rec.ts1 a directory: the recording ends before it
        {{}, 'u', ""},  // rec.ts1 unreadable: the recording ends before it
        // Root's file that all may write: written, but its times cannot be put back; said so, naming the file.
        {{"-fixpat", "-force"}, 'w', "Error: Can't keep the times of 'rec.ts'!\n", "\nOverwrite 2. ts packet with PAT\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(1, row.part) + (row.args.empty() ? "" : row.args[0]));
        t::TempDir dir;
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        build::Packet record = write_rec(dir.file("rec.ts"));
        ASSERT_TRUE(t::write_file(dir.file("h.bin"), t::Bytes(record.begin(), record.end())));
        // Nobody's own file (so reading keeps the access time), but read-only;
        // or root's, which all may write.
        ASSERT_EQ(row.part == 'w' ? 0 : chown(dir.file("rec.ts").c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(dir.file("rec.ts").c_str(), row.part == 'w' ? 0666 : 0444), 0);
        if (row.part == 'd') {
            ASSERT_EQ(varnek::test::portable::make_dir(dir.file("rec.ts1").c_str(), 0755), 0);
        } else if (row.part == 'u') {
            ASSERT_EQ(chmod(build::write_recording({}, dir.file("rec.ts1")).files.at(0).c_str(), 0600), 0);
        }
        t::Unchanged rec({dir.file("rec.ts")});
        Args args = row.args;
        args.push_back("rec.ts");
        auto r = t::run_varnek_restricted(args, dir.path(), t::no_size_limit, true);
        EXPECT_EQ(r.exit_code, row.args.empty() ? 0 : 3);  // only a failed repair gives 3
        EXPECT_EQ(r.err, row.err);
        std::string scan = "Analyse: 'rec.ts' BEG.QBXH..PAT..PMT..PCR..PTS..SEEK..PCR..PTS.END done\n";
        EXPECT_EQ(r.out.substr(0, scan.size() + 10), scan + "Testtime: ");
        EXPECT_EQ(t::has(r.out, "Overwrite"), !row.wrote.empty()) << r.out;
        EXPECT_TRUE(t::has(r.out, row.wrote)) << r.out;
        if (row.wrote.empty()) rec.check();
    }
}

TEST(Faults, UnusualFileNames) {
    // 4000 characters: 19 directories of 199 characters and a file name of 200.
    std::string long_name;
    for (int i = 0; i < 19; ++i) long_name += std::string(199, char('a' + i)) + "/";
    long_name += std::string(197, 'z') + ".ts";
    ASSERT_EQ(long_name.size(), 4000u);
    for (const std::string& name : {std::string("50%s.ts"), std::string("a b  c.ts"), std::string("\xE9t\xE9.ts"),
                                    std::string("%n%n%08llX %s.ts"), long_name}) {
        SCOPED_TRACE(name.substr(0, 40));
        if (t::skip_row(VARNEK_ON_WINDOWS && (name == long_name || name[0] == '\xE9'), name.substr(0, 20),
                        name == long_name ? "not on Windows: paths over 260 characters need long-path support"
                                          : "not on Windows: a name that is no UTF-8 cannot be stored"))
            continue;
        t::TempDir dir;
        std::string path = dir.file(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        build::Packet record = write_rec(path, 2000);
        auto r = t::run_varnek({name, "-get:" + name + ".bin", name + ".no"}, dir.path());
        EXPECT_EQ(r.exit_code, 3) << "the header record of " << name << ".no is not copied";
        EXPECT_EQ(r.err, "Error: Can't open '" + name + ".no' for reading!\n");
        EXPECT_EQ(r.out.find("Analyse: '" + name + "' BEG"), 0u) << r.out.substr(0, 200);
        EXPECT_TRUE(t::has(r.out, " done\nAnalyse: '" + name + "1' BEG"));
        EXPECT_TRUE(t::has(r.out, "Write first ts packet to: '" + name + ".bin'\n"));
        EXPECT_EQ(t::read_file(path + ".bin"), t::Bytes(record.begin(), record.end()));
    }
}

TEST(Faults, FileCutShortWhileScanned) {
#ifdef _WIN32
    VARNEK_NOT_ON_WINDOWS("the file is cut short with POSIX calls while the tool runs");
#else
    t::TempDir dir;
    build::Recipe r;
    r.body_packets = 531916;  // 100 MB; its half is whole packets and ends inside a page
    const t::Bytes full = build::recording_bytes(r);
    const size_t half = full.size() / 2;
    ASSERT_TRUE(t::write_file(dir.file("rec.ts"), full));
    for (int delay_ms : {0, 4, 8, 16}) {
        SCOPED_TRACE(delay_ms);
        auto run = t::run_varnek_restricted({"-all", "rec.ts"}, dir.path(), t::no_size_limit, false, [&] {
            usleep(useconds_t(delay_ms) * 1000);
            EXPECT_EQ(truncate(dir.file("rec.ts").c_str(), off_t(half)), 0);
        });
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_TRUE(t::has(run.out, " done\nTesttime: ")) << run.out.substr(0, 300);
        EXPECT_EQ(run.err, "") << "the new end is no sync loss";
        // The whole file again for the next round.
        ASSERT_TRUE(t::write_at(dir.file("rec.ts"), half, full.data() + half, full.size() - half));
    }
#endif
}

}  // namespace
