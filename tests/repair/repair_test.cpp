// The in-place repairs (-fixqbx, -fixpat, -get:, -put:) run through the real
// tool on recordings from the builder, and how they write. Every case gives
// the recording old times first, then checks every byte of every part file
// and both times afterwards; the bytes a repair must write are laid out here
// by hand.
#include "builder.h"
#include "programs.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <set>
#include <sstream>

namespace b = varnek::build;
namespace t = varnek::test;

namespace {

using Patch = t::Unchanged::Patch;  // file offset, the bytes found there afterwards

b::Bytes bytes_of(const b::Packet& p) { return b::Bytes(p.begin(), p.end()); }

// A PAT other than the generated one: program 1 on PMT 0x64, stream id 7,
// version 3, counter 0.
b::Packet pat_v3() { return b::pat_packet(b::PatFields{{b::PatEntry{}}, 7, 3, 0, {}}); }

// A PMT for video 0x100 and audio 0x101 (PCR on video), plus extra streams.
b::Packet pmt(uint16_t pid = 0x64, std::vector<b::PmtStream> extra = {}, uint8_t version = 0) {
    b::PmtFields f;
    f.pid = pid;
    f.version = version;
    f.streams = {{0x02, 0x100, {}, -1}, {0x03, 0x101, {}, -1}};
    for (const b::PmtStream& s : extra) f.streams.push_back(s);
    return b::pmt_packet(f);
}

// A record as the receiver wrote it, naming the PMT PID given.
b::Packet old_record(uint16_t pmt_pid) {
    b::QbxhFields f = b::program_record(pmt_pid, 0x1234);
    f.start_hour = 20;
    f.start_minute = 15;
    f.mjd = b::mjd_from_date(2009, 1, 1);
    f.streams.pop_back();  // no PMT in its stream table
    return b::qbxh_packet(f);
}

// The head packets, then 300 s of video 0x100 (PES start and PCR every
// 200 ms) and audio 0x101 (PES every 400 ms) at ten packets a second. The
// last video PTS and PCR lie 299,800 ms after the first: 299 s. Packets
// with an index (from the end when negative) replace the ones there.
// Untimed: no PTS and no PCR, so no duration.
std::vector<b::Packet> recording(std::vector<b::Packet> head,
                                 std::vector<std::pair<long, b::Packet>> put = {}, bool timed = true) {
    b::Recipe r;
    r.head = std::move(head);
    r.streams = {b::video_stream(0x100, 200), b::audio_stream(0x101, 400)};
    for (b::StreamRecipe& s : r.streams) s.with_pts = timed;
    r.pcr_interval_ms = timed ? 200 : 0;
    r.bitrate_bps = 15040;
    r.body_packets = 3000;
    std::vector<b::Packet> packets = b::make_recording(r);
    for (auto& [at, p] : put) packets[at < 0 ? long(packets.size()) + at : at] = p;
    return packets;
}

// A generated record for program 1, 299 s, video 0x100, audio 0x101, PCR
// 0x100: bytes 50, 51 and the stream table entries as given, then empty
// entries up to byte 120.
b::Bytes record(uint8_t pmt_lo, uint8_t pmt_hi, const b::Bytes& table) {
    b::Bytes r(188, 0x00);
    auto put = [&r](size_t at, const b::Bytes& v) { std::copy(v.begin(), v.end(), r.begin() + long(at)); };
    put(0, {0x47, 0x41, 0xFF, 0x00, 'Q', 'B', 'X', 'H', 0x68, 0x01});
    put(16, {0x01, 0x00});
    put(20, {0x06, 0x10});
    put(24, {0x2B, 0x01});
    put(40, {0x00, 0x01, 0x01, 0x01, 0x00, 0x01});
    put(47, {0x02, 0x03});
    put(50, {pmt_lo, pmt_hi});
    r[54] = 0x02;
    put(56, table);
    for (size_t at = 56 + table.size(); at < 120; at += 4) put(at, {0xFF, 0xFF, 0xFF, 0x1F});
    return r;
}
b::Bytes record_64() {
    return record(0x64, 0x00, {0x02, 0x00, 0x00, 0x01, 0x03, 0x00, 0x01, 0x01, 0xE2, 0x00, 0x64, 0x00});
}

// The PAT generated for program 1 and PMT PID 0x0064.
b::Bytes generated_pat() {
    b::Bytes p = {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x0D, 0x04, 0x31, 0xE9,
                  0x00, 0x00, 0x00, 0x01, 0xE0, 0x64, 0x09, 0xB5, 0xDC, 0x88};
    p.resize(188, 0xFF);
    return p;
}

std::vector<std::string> write_rec(const t::TempDir& dir, const std::vector<b::Packet>& packets) {
    EXPECT_TRUE(b::write_packets(dir.file("rec.ts"), packets));
    return {dir.file("rec.ts")};
}

// A recording in a fresh directory with old times; kept.check(patches)
// expects them back, and the old bytes with the patches laid over rec.ts.
struct Rec {
    t::TempDir dir;
    t::Unchanged kept;

    explicit Rec(const std::vector<b::Packet>& packets) : kept(write_rec(dir, packets)) {}

    t::RunResult run(std::vector<std::string> args) const {
        args.push_back("rec.ts");
        return t::run_varnek(args, dir.path());
    }
};

void expect_printed(const t::RunResult& r, const std::string& out, const std::string& err) {
    ASSERT_TRUE(r.started) << r.err;
    // Every error line here is a repair's: the run tells a script it failed.
    EXPECT_EQ(r.exit_code, err.find("Error: ") == std::string::npos ? 0 : 3);
    EXPECT_EQ(t::repair_lines(r.out), out);
    EXPECT_EQ(r.err, err);
}

struct Case {
    const char* what;
    std::vector<b::Packet> packets;
    std::vector<std::string> args;    // in front of the recording's name
    std::string out, err;             // repair lines on the output, the error stream
    std::vector<Patch> patches = {};  // what rec.ts holds afterwards, beyond its old bytes
    b::Bytes h_before = {};           // written to h.bin first when given; read, it keeps bytes and times
    b::Bytes h_after = {};            // h.bin afterwards when given
};

const std::vector<b::Packet> five_qbx = {old_record(0x64), b::qbx_packet("EVNT", "News"),
                                         b::qbx_packet("SHRT", "Short"), b::qbx_packet("CHNM", "Channel"),
                                         b::qbx_packet("EVNT", "More")};
std::vector<b::Packet> with(std::vector<b::Packet> head, const std::vector<b::Packet>& more) {
    head.insert(head.end(), more.begin(), more.end());
    return head;
}

std::vector<Case> cases() {
    const b::Bytes evnt = bytes_of(b::qbx_packet("EVNT", "put"));
    const b::Packet pmt_v1 = pmt(0x64, {}, 1);
    return {
        // -get: and -put:
        {"get copies the first record", recording({old_record(0x64), b::pat_packet({{1, 0x64}}), pmt()}),
         {"-get:h.bin"}, "Write first ts packet to: 'h.bin'\n", "", {}, {}, bytes_of(old_record(0x64))},
        {"get after a forced fixqbx copies the new record; PAT at 1 stays",
         recording({old_record(0x64), b::pat_packet({{1, 0x64}}), pmt()}), {"-fixqbx", "-force", "-get:h.bin"},
         "Overwrite 1. ts packet with QBX\nWrite first ts packet to: 'h.bin'\n", "", {{0, record_64()}}, {},
         record_64()},
        {"put without force keeps the record", recording({old_record(0x64), pmt()}), {"-put:h.bin"}, "", "", {},
         evnt},
        {"put with force", recording({old_record(0x64), pmt()}), {"-put:h.bin", "-force"},
         "Overwrite first ts packet from: 'h.bin'\n", "", {{0, evnt}}, evnt},
        {"put of a missing file", recording({pmt()}), {"-put:none.bin"}, "",
         "Error: Can't open 'none.bin' for reading!\n"},
        {"put of a short file", recording({pmt()}), {"-put:h.bin"}, "", "Error: Can't read first ts packet!\n",
         {}, b::Bytes(187, 0x47)},
        {"put of a folder, with force", recording({old_record(0x64), pmt()}), {"-put:dir.bin", "-force"}, "",
         "Error: Can't read first ts packet!\n"},
        // -fixqbx
        {"PAT and PMT move back behind the new record; the PMT is the latest",
         recording({b::pat_packet({{1, 0x64}}), pmt()}, {{-30, pmt_v1}}), {"-fixqbx"},
         "Overwrite 1. ts packet with QBX\nOverwrite 2. ts packet with PAT\nOverwrite 3. ts packet with PMT\n", "",
         {{0, record_64()}, {188, bytes_of(b::pat_packet({{1, 0x64}}))}, {376, bytes_of(pmt_v1)}}},
        {"a PMT on PID 0x1FF", recording({pmt(0x1FF)}), {"-fixqbx"}, "Overwrite 1. ts packet with QBX\n", "",
         {{0, record(0xFF, 0x01, {0x02, 0x00, 0x00, 0x01, 0x03, 0x00, 0x01, 0x01, 0xE2, 0x00, 0xFF, 0x01})}}},
        {"a record naming PMT 0x64 stays", recording({old_record(0x64), pmt()}), {"-fixqbx"},
         "QBX already exists\n", ""},
        {"a record naming PMT 0 is corrected in place", recording({old_record(0), pmt()}), {"-fixqbx", "-get:h.bin"},
         "Correct PMT-PID 100 in QBX\nQBX already exists\nWrite first ts packet to: 'h.bin'\n", "",
         {{50, {0x64, 0x00}}}, {}, bytes_of(old_record(0x64))},
        {"no PMT", recording({b::pat_packet({{1, 0x64}})}), {"-fixqbx"}, "", "Error: No PMT found!\n"},
        {"no duration", recording({b::pat_packet({{1, 0x64}}), pmt()}, {}, false), {"-fixqbx"}, "",
         "Error: No duration determined!\n"},
        // The scan would not find a record behind packets out of sync.
        {"a head of four zeroed packets", recording({b::Packet{}, b::Packet{}, b::Packet{}, b::Packet{}, pmt()}),
         {"-fixqbx"}, "",
         "\nSync lost at 00000000 ==> ReSync at 000002F0\nError: The head of 'rec.ts' is out of sync: use "
         "-salvage:<file>!\n"},
        // -fixpat
        {"a stored PAT stays", recording(with(five_qbx, {pat_v3(), pmt()})), {"-fixpat"}, "PAT already exists\n",
         ""},
        {"a forced PAT goes behind the five QBX packets", recording(with(five_qbx, {pat_v3(), pmt()})),
         {"-fixpat", "-force"}, "Overwrite 6. ts packet with PAT\n", "", {{940, generated_pat()}}},
        {"no record for the PAT", recording({pmt()}), {"-fixpat"}, "", "Error: No QBX found!\n"},
        {"QBX packets met later do not move the PAT",
         recording(with({five_qbx.begin(), five_qbx.begin() + 3}, {pmt()}),
                   {{500, b::qbx_packet("EVNT", "mid")}, {-10, b::qbx_packet("EVNT", "tail")}}),
         {"-fixpat"}, "Overwrite 4. ts packet with PAT\n", "", {{564, generated_pat()}}},
    };
}

TEST(Repair, EachCaseWritesExactlyItsBytes) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.what);
        Rec rec(c.packets);
        ASSERT_EQ(t::portable::make_dir(rec.dir.file("dir.bin").c_str(), 0755), 0);
        std::optional<t::Unchanged> source;
        if (!c.h_before.empty()) {
            ASSERT_TRUE(t::write_file(rec.dir.file("h.bin"), c.h_before));
            source.emplace(std::vector<std::string>{rec.dir.file("h.bin")});
        }
        expect_printed(rec.run(c.args), c.out, c.err);
        rec.kept.check(c.patches);
        if (source) source->check();
        if (!c.h_after.empty()) {
            EXPECT_TRUE(t::read_file(rec.dir.file("h.bin")) == c.h_after);
        }
    }
}

// A recording with a PMT only; the new record leaves out stream 0x102, which
// the scan never met, and a second run reports record and PAT as written.
TEST(Repair, SecondRunReportsTheNewRecordAndPat) {
    Rec rec(recording({b::null_packet(), b::null_packet(), pmt(0x64, {{0x06, 0x102, {}, -1}})}));
    expect_printed(rec.run({"-fixqbx", "-fixpat"}), "Overwrite 1. ts packet with QBX\nOverwrite 2. ts packet with PAT\n",
                   "");
    t::RunResult again = rec.run({});
    ASSERT_EQ(again.exit_code, 0);
    const std::string report =
        "\nQBXH\n Offset:    0x0 (0)\n Program:   1\n Duration:  00:04:59\n"
        " DateTime:  Fri Apr 23 00:00:00 2038\n PID => PMT 100 / Video 256 / Audio 257 / PCR 256\n"
        "\tPID Stream-Type\n\t 256 Video Mpeg2  (0x2)\n\t 257 Audio Mpeg1  (0x3)\n\t 100 PMT          (0xE2)\n"
        "\nPAT\n Offset:  0xBC (1)\n CRC32:   ";
    size_t at = again.out.find(report);
    ASSERT_NE(at, std::string::npos) << again.out;
    rec.kept.check({{0, record_64()}, {188, generated_pat()}});  // bytes 17..20 of the PAT: its CRC
    EXPECT_EQ(again.out.substr(at + report.size(), 9), std::string("09B5DC88\n"));
}

// Failed writes leave the recording and every other file alone: the
// file-size limit cuts a write short (in an empty first part file, which
// each write would extend, or inside the file), or the user nobody may not
// write the recording (nobody's own, read-only). The PMT PID correction whose
// reopen or write fails still ends with "QBX already exists", and a new
// record that could not be written is not what -get: saves.
TEST(Repair, FailedWritesLeaveEverythingAlone) {
    VARNEK_NOT_ON_WINDOWS("there is no file-size limit and no other user");
    struct Fault {
        const char* what;
        std::vector<b::Packet> packets;
        std::vector<std::string> args;
        uint64_t limit;  // 0: run as nobody
        std::string out, err;
        bool first_part_empty = false;  // the packets in rec.ts1
    };
    const std::vector<b::Packet> full = recording({old_record(0x64), b::pat_packet({{1, 0x64}}), pmt()});
    const std::vector<Fault> faults = {
        {"limit: -get:", full, {"-get:new.bin"}, 100, "", "Error: Can't write ts packet!\n", true},
        {"limit: -get: onto an old copy", full, {"-get:h.bin"}, 100, "", "Error: Can't write ts packet!\n", true},
        {"limit: -fixqbx -force", full, {"-fixqbx", "-force"}, 100, "", "Error: Can't write QBX!\n", true},
        {"limit: -fixpat -force", full, {"-fixpat", "-force"}, 300, "", "Error: Can't write ts package!\n", true},
        {"limit: -put: -force", full, {"-put:h.bin", "-force"}, 100, "", "Error: Can't write ts packet!\n", true},
        // The correction is told only once it is in the file.
        {"limit: PMT PID correction", recording({old_record(0), pmt()}), {"-fixqbx"}, 40,
         "QBX already exists\n", "Error: Can't write QBX!\n"},
        {"limit: PAT across it", recording(with(five_qbx, {pat_v3(), pmt()})), {"-fixpat", "-force"}, 1000, "",
         "Error: Can't write ts package!\n"},
        // The record would land, but the PAT it overwrites could not move behind it.
        {"limit: PAT and PMT could not move", recording({b::pat_packet({{1, 0x64}}), pmt()}), {"-fixqbx"}, 300, "",
         "Error: Can't write QBX!\n"},
        {"read-only: PMT PID correction", recording({old_record(0), pmt()}), {"-fixqbx"}, 0, "QBX already exists\n",
         "Error: Can't reopen 'rec.ts' for writing!\n"},
        {"read-only: a new record, then -get:", recording({b::pat_packet({{1, 0x64}}), pmt()}),
         {"-fixqbx", "-get:saved.bin"}, 0, "", "Error: Can't reopen 'rec.ts' for writing!\n"},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.what);
        if (t::skip_row(f.limit == 0 && geteuid() != 0, f.what, "needs root to become nobody")) continue;
        t::TempDir dir;
        ASSERT_TRUE(t::write_file(dir.file("rec.ts"), f.first_part_empty ? b::Bytes{} : b::pack(f.packets)));
        if (f.first_part_empty) {
            ASSERT_TRUE(b::write_packets(dir.file("rec.ts1"), f.packets));
        }
        ASSERT_TRUE(t::write_file(dir.file("h.bin"), t::Bytes(188, 0x47)));
        const std::vector<std::string> names = t::folder_names(dir.path());
        std::vector<std::string> files;
        for (const std::string& name : names) files.push_back(dir.file(name));
        t::Unchanged kept(files);
        if (f.limit == 0) {
            // Owned by nobody, so the tool may keep its times, but without
            // write permission; it may write into the folder.
            ASSERT_EQ(chown(dir.file("rec.ts").c_str(), 65534, 65534), 0);
            ASSERT_EQ(chmod(dir.file("rec.ts").c_str(), 0444), 0);
            ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
        }
        std::vector<std::string> args = f.args;
        args.push_back("rec.ts");
        expect_printed(t::run_varnek_restricted(args, dir.path(), f.limit ? f.limit : t::no_size_limit, f.limit == 0),
                       f.out, f.err);
        EXPECT_EQ(t::folder_names(dir.path()), names);  // no part of a packet, no temporary file
        kept.check();
    }
    // A limit the recording's packets fit under but the undo file not: the
    // first repair is done, the second not, and said so.
    Rec rec(full);
    t::RunResult undo = t::run_varnek_restricted({"-fixqbx", "-fixpat", "-force", "rec.ts"}, rec.dir.path(), 1024);
    EXPECT_EQ(undo.signal, 0);
    expect_printed(undo, "Overwrite 1. ts packet with QBX\n", "Error: Can't save undo data for 'rec.ts'!\n");
    rec.kept.check({{0, record_64()}});
}

// The descriptors written with pwrite64 and closed before an fsync, in an
// strace log of pwrite64, fsync and close.
std::vector<std::string> closed_unflushed(const std::string& log, size_t& writes) {
    static const std::regex call(R"(^(pwrite64|fsync|close)\((\d+))");
    std::set<std::string> pending;
    std::vector<std::string> lost;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, call)) continue;
        if (m[1] == "pwrite64") {
            ++writes;
            pending.insert(m[2]);
        } else if (m[1] == "fsync") {
            pending.erase(m[2]);
        } else if (pending.erase(m[2])) {
            lost.push_back(line);
        }
    }
    return lost;
}

// The recording's times survive a run killed right before its write (the
// old bytes are read without moving the access time), and the write is on
// the disk before its success line.
TEST(WriteInPlace, TimesKeptAndWriteFlushed) {
    VARNEK_NOT_ON_WINDOWS("strace watches the tool's system calls");
    VARNEK_NEED_PROGRAM("strace");
    struct Row {
        const char* what;
        bool with_record;
        std::vector<std::string> args;
    };
    const std::vector<Row> rows = {
        {"-fixqbx", false, {"-fixqbx", "rec.ts"}},
        {"-fixpat -force", true, {"-fixpat", "-force", "rec.ts"}},
        {"-put: -force", true, {"-put:h.bin", "-force", "rec.ts"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        t::TempDir dir;
        const b::Recipe recipe = row.with_record ? b::dated_receiver_recipe() : b::tables_recipe();
        ASSERT_TRUE(b::write_recording(recipe, dir.file("rec.ts")).ok);
        ASSERT_TRUE(t::write_file(dir.file("h.bin"), t::Bytes(188, 0x47)));
        const std::vector<std::string> env = t::undo_in(dir);

        // Killed at its write into the recording, after the old bytes were
        // read and saved: nothing in the recording moved, its access time neither.
        t::Unchanged kept({dir.file("rec.ts")});
        EXPECT_NE(t::run_under_strace(t::kill_at("pwrite64", 1), row.args, dir.path(), env).exit_code, 0);
        kept.check();

        // Every write is flushed before the file is closed and the success line printed.
        const std::string log = dir.file("calls.log");
        t::RunResult run =
            t::run_under_strace({"-qq", "-o", log, "-e", "trace=pwrite64,fsync,close"}, row.args, dir.path(), env);
        EXPECT_NE(run.out.find("Overwrite"), std::string::npos) << run.out << run.err;
        size_t writes = 0;
        EXPECT_EQ(closed_unflushed(t::read_text(log), writes), std::vector<std::string>{});
        EXPECT_GE(writes, 1u);
    }
}

}  // namespace
