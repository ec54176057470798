// Undo files, -undo and -dry, and the ways a repair could cost bytes nobody
// asked to give up: each row pins one of them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "builder.h"
#include "programs.h"

namespace b = varnek::build;
namespace t = varnek::test;

namespace {

// PAT and PMT first, as a recording whose receiver packets were lost; 3000
// packets of video and audio.
b::Recipe bare() {
    b::Recipe r;
    b::PatFields pat;  // not the PAT that -fixpat generates, so that its write shows
    pat.transport_stream_id = 7;
    r.head = {b::pat_packet(pat)};
    r.head.push_back(b::pmt_packet(b::pmt_for(r)));
    r.body_packets = 3000;
    return r;
}

b::Recipe receiver(const std::string& channel = "Undo", uint16_t pmt_pid_field = 0x64) {
    b::ReceiverFields f;
    f.duration_s = 1;
    f.mjd = b::mjd_from_date(2026, 11, 28);
    f.start_hour = 20;
    f.channel = channel;
    f.record_pmt_pid = pmt_pid_field;
    b::Recipe r = b::receiver_recipe(f);
    // A PAT other than the one -fixpat generates, so that its write shows.
    b::PatFields pat;
    pat.transport_stream_id = 7;
    pat.version = 3;
    for (b::Packet& p : r.head)
        if (p[1] == 0x40 && p[2] == 0x00) p = b::pat_packet(pat);
    r.body_packets = 3000;
    return r;
}

// The record with PMT PID 0 at the head of the second part file.
std::vector<std::string> record_in_part(const t::TempDir& dir) {
    std::vector<b::Packet> packets = b::make_recording(bare());
    std::vector<b::Packet> second(packets.begin() + 1000, packets.end());
    second.insert(second.begin(), receiver("Undo", 0).head[0]);
    EXPECT_TRUE(b::write_packets(dir.file("rec.ts"), {packets.begin(), packets.begin() + 1000}));
    EXPECT_TRUE(b::write_packets(dir.file("rec.ts1"), second));
    return {dir.file("rec.ts"), dir.file("rec.ts1")};
}

std::vector<std::string> write(const t::TempDir& dir, b::Recipe r, uint64_t part_packets = 0) {
    r.part_packets = part_packets;
    b::WriteResult w = b::write_recording(r, dir.file("rec.ts"));
    EXPECT_TRUE(w.ok) << w.error;
    return w.files;
}

// Every repair and their combinations go back to the very bytes and times.
TEST(Undo, RoundTrips) {
    struct Row {
        const char* name;
        b::Recipe recipe;
        uint64_t part_packets;
        std::vector<std::string> args;
        size_t packets;  // that -undo writes back
    };
    const std::vector<Row> rows = {
        {"-fixqbx, moving PAT and PMT", bare(), 0, {"-fixqbx"}, 3},
        {"-fixqbx -force", receiver(), 0, {"-fixqbx", "-force"}, 1},
        {"-fixpat -force", receiver(), 0, {"-fixpat", "-force"}, 1},
        {"-put: -force", receiver(), 0, {"-put:other.ts", "-force"}, 1},
        {"-fixqbx -fixpat -force", bare(), 0, {"-fixqbx", "-fixpat", "-force"}, 3},
        {"PMT-PID correction in a part file", bare(), 1000, {"-fixqbx"}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        t::TempDir dir;
        std::vector<std::string> files = row.part_packets ? record_in_part(dir) : write(dir, row.recipe);
        ASSERT_TRUE(b::write_recording(bare(), dir.file("other.ts")).ok);
        t::Unchanged kept(files);
        std::vector<std::string> args = row.args;
        args.push_back("rec.ts");
        t::RunResult repair = t::run_varnek(args, dir.path(), {"VARNEK_UNDO_DIR=" + dir.file("undo")});
        ASSERT_NE(t::read_file(files.back()), kept.bytes.back()) << repair.out << repair.err;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("undo")), {}), 1);  // one undo file

        t::RunResult undo = t::run_varnek({"-undo", "rec.ts"}, dir.path(), {"VARNEK_UNDO_DIR=" + dir.file("undo")});
        EXPECT_EQ(undo.err, "");
        EXPECT_EQ(undo.out.substr(0, undo.out.find(" from ")),
                  "Undone: " + std::to_string(row.packets) + " packets of 'rec.ts'");
        kept.check();

        // Nothing left to take back: said so, nothing written (the times were
        // checked above; reading the bytes has moved the access time since).
        undo = t::run_varnek({"-undo", "rec.ts"}, dir.path(), {"VARNEK_UNDO_DIR=" + dir.file("undo")});
        EXPECT_EQ(undo.out, "");
        EXPECT_EQ(undo.err, "Error: No undo data for 'rec.ts'!\n");
        for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(t::read_file(files[i]), kept.bytes[i]);
    }
}

TEST(Undo, RefusesWhatWasChangedSince) {
    t::TempDir dir;
    std::vector<std::string> files = write(dir, bare());
    const std::vector<std::string> env = {"VARNEK_UNDO_DIR=" + dir.file("undo")};
    t::run_varnek({"-fixqbx", "rec.ts"}, dir.path(), env);
    b::Bytes changed = t::read_file(files[0]);
    changed[200] ^= 0xFF;  // inside the PAT the repair moved
    ASSERT_TRUE(t::write_file(files[0], changed));
    t::Unchanged kept(files);
    t::RunResult undo = t::run_varnek({"-undo", "rec.ts"}, dir.path(), env);
    EXPECT_EQ(undo.err, "Error: Can't undo 'rec.ts': it was changed after the repair!\n");
    EXPECT_EQ(undo.out, "");
    kept.check();
}

// -dry tells what would be written, a later repair sees what an earlier one
// would have written, and nothing is written, not even an undo file.
TEST(Undo, DryRunWritesNothing) {
    t::TempDir dir;
    std::vector<std::string> files = write(dir, bare());
    t::Unchanged kept(files);
    t::RunResult r = t::run_varnek({"-fixqbx", "-fixpat", "-get:rec.qbxh", "-dry", "rec.ts"}, dir.path(),
                                   {"VARNEK_UNDO_DIR=" + dir.file("undo")});
    std::string tail = r.out.substr(r.out.find(" Duration:  00:00:01\n\n") + 22);
    EXPECT_EQ(tail,
              "Would: Overwrite 1. ts packet with QBX\n"
              "Would: Overwrite 2. ts packet with PAT\n"
              "Would: Overwrite 3. ts packet with PMT\n"
              "PAT already exists\n"
              "Would: Write first ts packet to: 'rec.qbxh'\n");
    EXPECT_EQ(r.err, "");
    kept.check();
    EXPECT_NE(access(dir.file("undo").c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("rec.qbxh").c_str(), F_OK), 0);
}

// The faults found by trying the repairs as a new user would; each row
// failed before it was mended.
TEST(Undo, FaultsThatCostBytes) {
    // 1: -get: onto another recording of the command line, or one of its
    // part files, existing or not.
    {
        t::TempDir dir;
        ASSERT_TRUE(b::write_recording(receiver(), dir.file("a.ts")).ok);
        ASSERT_TRUE(b::write_recording(receiver(), dir.file("b.ts")).ok);
        t::Unchanged kept({dir.file("b.ts")});
        for (const char* target : {"b.ts", "./b.ts", "b.ts1", "later.ts"}) {
            SCOPED_TRACE(target);
            t::RunResult r = t::run_varnek({"a.ts", "b.ts", "later.ts", std::string("-get:") + target}, dir.path());
            EXPECT_NE(r.err.find("Error: Refusing to overwrite recording '" + std::string(target) + "'!\n"),
                      std::string::npos) << r.err;
        }
        kept.check();
        EXPECT_NE(access(dir.file("b.ts1").c_str(), F_OK), 0);
        EXPECT_NE(access(dir.file("later.ts").c_str(), F_OK), 0);
    }
    // 2: -get: onto an existing backup that the file-size limit stops: the
    // old backup stays whole.
    if (VARNEK_ON_WINDOWS) {
        std::printf("[ skipped  ] fault 2: not on Windows: there is no file-size limit\n");
    } else {
        t::TempDir dir;
        write(dir, receiver());
        b::Bytes backup(188, 0xAB);
        ASSERT_TRUE(t::write_file(dir.file("backup.qbxh"), backup));
        t::RunResult r = t::run_varnek_restricted({"rec.ts", "-get:backup.qbxh"}, dir.path(), 100);
        EXPECT_NE(r.err.find("Error: Can't write ts packet!\n"), std::string::npos) << r.err;
        EXPECT_EQ(t::read_file(dir.file("backup.qbxh")), backup);
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))  // no temporary file left behind
            EXPECT_EQ(entry.path().filename().string().find("varnek-"), std::string::npos);
        // A limit the recording's packets fit under but the undo file not:
        // the first repair is done, the second not, and said so.
        t::RunResult undo = t::run_varnek_restricted({"rec.ts", "-fixqbx", "-fixpat", "-force"}, dir.path(), 1024);
        EXPECT_EQ(undo.signal, 0);
        EXPECT_EQ(undo.err, "Error: Can't save undo data for 'rec.ts'!\n");
        EXPECT_NE(undo.out.find("Overwrite 1. ts packet with QBX\n"), std::string::npos);
        EXPECT_EQ(undo.out.find("with PAT"), std::string::npos);
        // Replaced whole, the backup keeps its mode.
        std::filesystem::permissions(dir.file("backup.qbxh"), std::filesystem::perms(0640));
        t::run_varnek({"rec.ts", "-get:backup.qbxh"}, dir.path());
        EXPECT_EQ(t::read_file(dir.file("backup.qbxh")).size(), 188u);
        EXPECT_EQ(std::filesystem::status(dir.file("backup.qbxh")).permissions(), std::filesystem::perms(0640));
    }
    // 7: part files named as recordings (a glob like *.ts*) are read but
    // not repaired; -get: still copies their record out.
    {
        t::TempDir dir;
        std::vector<std::string> files = write(dir, bare(), 2000);
        ASSERT_EQ(files.size(), 2u);
        t::Unchanged kept({files[1]});
        t::RunResult r = t::run_varnek({"rec.ts1", "-fixqbx", "-fixpat", "-put:rec.ts"}, dir.path());
        EXPECT_EQ(r.err, "Error: 'rec.ts1' is a part file of 'rec.ts': not repaired!\n");
        kept.check();
    }
    // 8: -put: reads its source without moving its access time.
    {
        t::TempDir dir;
        write(dir, receiver());
        ASSERT_TRUE(b::write_recording(bare(), dir.file("source.ts")).ok);
        t::Unchanged source({dir.file("source.ts")});
        t::run_varnek({"rec.ts", "-put:source.ts", "-force"}, dir.path());
        source.check();
    }
    // 9: control characters of a recording's texts and of names steer a
    // terminal; there they show as '?', into a pipe they pass unchanged.
    if (VARNEK_ON_WINDOWS) {
        std::printf("[ skipped  ] fault 9: not on Windows: the terminal comes from script(1)\n");
    } else {
        t::TempDir dir;
        ASSERT_TRUE(b::write_recording(receiver("Chan\x1b]0;owned\x07"), dir.file("rec.ts")).ok);
        t::RunResult pipe = t::run_varnek({"-list", "rec.ts"}, dir.path());
        EXPECT_NE(pipe.out.find("Chan\x1b]0;owned\x07"), std::string::npos);
        t::RunResult tty = t::run_program(
            "/bin/sh", {"-c", "TZ=UTC script -qec '" + t::varnek_binary() + " -list rec.ts' /dev/null"}, dir.path());
        EXPECT_NE(tty.out.find("Chan?]0;owned?"), std::string::npos) << tty.out;
        EXPECT_EQ(tty.out.find('\x1b'), std::string::npos);
    }
}

// 4 and 6 need another user: one who may write the recording but not set
// its times, and one who may not write it at all.
TEST(Undo, FaultsOfOtherUsers) {
    VARNEK_NOT_ON_WINDOWS("there are no POSIX users to become");
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    // 4: the times cannot be put back: said so, naming the file.
    {
        t::TempDir dir;
        std::vector<std::string> files = write(dir, receiver());
        ASSERT_EQ(chmod(files[0].c_str(), 0666), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        t::RunResult r = t::run_varnek_restricted({"rec.ts", "-fixpat", "-force"}, dir.path(), t::no_size_limit, true);
        EXPECT_NE(r.out.find("Overwrite 5. ts packet with PAT\n"), std::string::npos) << r.out << r.err;
        EXPECT_EQ(r.err, "Error: Can't keep the times of 'rec.ts'!\n");
    }
    // 6: a generated record that could not be written is not what -get: saves.
    {
        t::TempDir dir;
        std::vector<std::string> files = write(dir, bare());
        ASSERT_EQ(chmod(files[0].c_str(), 0444), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
        t::RunResult r =
            t::run_varnek_restricted({"rec.ts", "-fixqbx", "-get:saved.qbxh"}, dir.path(), t::no_size_limit, true);
        EXPECT_EQ(r.err, "Error: Can't reopen 'rec.ts' for writing!\n");
        EXPECT_NE(access(dir.file("saved.qbxh").c_str(), F_OK), 0);
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

    unsigned completed = 0;
    // The writes into the recording, the undo file's renaming into place
    // and its flush to the disk.
    for (const char* call : {"pwrite64", "rename,renameat,renameat2", "fsync"}) {
        for (unsigned n = 1; n < 40; ++n) {
            SCOPED_TRACE(std::string(call) + " #" + std::to_string(n));
            ASSERT_TRUE(t::write_file(files[0], original));
            const std::string undo = dir.file("undo-" + std::string(call) + std::to_string(n));
            t::RunResult r = t::run_program(
                "strace", {"-f", "-qq", "-o", "/dev/null", "-e", "trace=" + std::string(call), "-e",
                           "inject=" + std::string(call) + ":signal=SIGKILL:when=" + std::to_string(n),
                           t::varnek_binary(), "-fixqbx", "-fixpat", "-force", "rec.ts"},
                dir.path(), {"TZ=UTC", "VARNEK_UNDO_DIR=" + undo});
            const b::Bytes now = t::read_file(files[0]);
            EXPECT_TRUE(now == original || now == after_qbx || now == after_both);
            if (now != original) {
                t::RunResult back = t::run_varnek({"-undo", "rec.ts"}, dir.path(), {"VARNEK_UNDO_DIR=" + undo});
                EXPECT_EQ(t::read_file(files[0]), original) << back.err;
            }
            if (r.signal == 0) {  // the run got past its last such call
                ++completed;
                break;
            }
        }
    }
    EXPECT_EQ(completed, 3u);
}

}  // namespace
