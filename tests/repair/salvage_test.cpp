// -salvage: through the real tool, on recordings from the builder damaged
// as disks and receivers damage them. Every case checks the new file byte
// for byte against the builder's packets that survive, with what the
// salvage adds in front laid out here; the one line; the new file's verdict
// and the kinds its check must not find; and that the recording kept its
// bytes and times.
#include "builder.h"
#include "programs.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>

#include <thread>

namespace b = varnek::build;
namespace t = varnek::test;
using Json = nlohmann::json;
using Packets = std::vector<b::Packet>;
using Parts = std::vector<b::Bytes>;

namespace {

unsigned pid_of(const b::Packet& p) { return unsigned(p[1] & 0x1F) << 8 | p[2]; }
bool is_qbx(const b::Packet& p) { return p[0] == 0x47 && p[1] == 0x41 && p[2] == 0xFF && p[3] == 0x00; }

// The receiver's head (QBXH, EVNT, SHRT, CHNM, PAT, PMT 0x64), then 10 s of
// video 0x100 with the PCR and audio 0x101 at two packets a millisecond,
// PAT and PMT every 100 ms: 20,006 packets. The last PCR lies 9,960 ms
// after the first.
b::Recipe receiver(uint16_t seconds = 10) { return b::dated_receiver_recipe("Salvage", seconds, seconds * 2000); }

Packets slice(const Packets& ps, size_t from, size_t to = SIZE_MAX) {
    return Packets(ps.begin() + long(from), ps.begin() + long(std::min(to, ps.size())));
}
template <typename List>
List joined(List a, const List& more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
}
b::Bytes bytes(const Packets& ps) { return b::pack(ps); }

// The new file: the record the salvage generates for the receiver's
// program (the measured seconds, no date) when asked, the receiver's packets at
// the head of kept, then a PAT for program 1 on PMT 0x64 and a copy of the
// first PMT when asked, each with its counter one before that of the first
// such packet in kept, then the rest of kept.
Packets expected_file(const Packets& kept, bool record, bool tables, uint16_t seconds = 9) {
    Packets out;
    if (record) out.push_back(b::qbxh_packet(b::program_record(0x64, seconds)));
    size_t head = 0;
    while (head < kept.size() && is_qbx(kept[head])) out.push_back(kept[head++]);
    if (tables) {
        b::PatFields pat;
        pat.programs = {{1, 0x64}};
        for (const b::Packet& p : kept)
            if (pid_of(p) == 0) {
                pat.continuity = uint8_t((p[3] + 15) & 0x0F);
                break;
            }
        out.push_back(b::pat_packet(pat));
        for (const b::Packet& p : kept)
            if (pid_of(p) == 0x64) {
                out.push_back(p);
                out.back()[3] = uint8_t((p[3] & 0xF0) | ((p[3] + 15) & 0x0F));
                break;
            }
    }
    return joined(out, slice(kept, head));
}

struct Row {
    const char* what;
    Parts parts;           // rec.ts, rec.ts1, ... (an empty one is not written)
    Packets expected;      // the new file
    std::string line;      // behind "Salvaged 'rec.ts' into 'out.ts': "
    std::string verdict;   // of the new file; empty: not looked at
    bool tables = true;    // the new file has a header record, a PAT and a PMT
};

// A video packet with payload and no adaptation field at or after from.
size_t video_payload(const Packets& ps, size_t from) {
    while (!(pid_of(ps[from]) == 0x100 && (ps[from][3] & 0x30) == 0x10)) ++from;
    return from;
}

std::vector<Row> rows() {
    const Packets ps = b::make_recording(receiver());
    const b::Bytes all = bytes(ps);
    std::vector<Row> rows;
    rows.push_back({"clean", {all}, ps, "20006 packets (00:00:09)", "intact"});

    b::Bytes garbage = all;
    b::insert_bytes(garbage, 12000 * 188, 150, 0x47);  // sync bytes, but no chain of them
    b::insert_bytes(garbage, 6000 * 188, 100, 0xFF);
    rows.push_back({"garbage between packets", {garbage}, ps,
                    "20006 packets (00:00:09); left out: 250 bytes outside packets", "intact"});
    // A packet with bytes missing is left out whole; the next one is kept.
    const size_t cut = video_payload(ps, 7000);
    b::Bytes lost = all;
    lost.erase(lost.begin() + long(cut * 188 + 50), lost.begin() + long(cut * 188 + 110));
    rows.push_back({"bytes missing inside a packet", {lost}, joined(slice(ps, 0, cut), slice(ps, cut + 1)),
                    "20005 packets (00:00:09); left out: 128 bytes outside packets", "damaged"});

    for (size_t zeroed : {1, 4, 5, 10}) {
        b::Bytes head = all;
        std::fill(head.begin(), head.begin() + long(zeroed * 188), 0x00);
        const bool tables = zeroed >= 5;  // the PAT is gone too
        const Packets out = expected_file(slice(ps, zeroed), true, tables);
        rows.push_back({"head zeroed", {head}, out,
                        std::to_string(out.size()) + " packets (00:00:09); left out: " + std::to_string(zeroed * 188) +
                            " bytes outside packets; added: header record" + (tables ? ", PAT, PMT" : ""),
                        "intact"});
    }
    rows.push_back({"begins mid-packet", {b::Bytes(all.begin() + 100, all.end())}, expected_file(slice(ps, 1), true, false),
                    "20006 packets (00:00:09); left out: 88 bytes outside packets; added: header record", "intact"});

    const b::Bytes half(all.begin() + 9000 * 188, all.begin() + 9000 * 188 + 100);
    rows.push_back({"half a packet at the end of a part, whole in the next",
                    {joined(bytes(slice(ps, 0, 9000)), half), bytes(slice(ps, 9000))}, ps,
                    "20006 packets (00:00:09); left out: 100 bytes outside packets", "intact"});
    const size_t v = video_payload(ps, 9000);
    rows.push_back({"a packet cut across two parts",
                    {b::Bytes(all.begin(), all.begin() + long(v * 188 + 100)), b::Bytes(all.begin() + long(v * 188 + 100), all.end())},
                    joined(slice(ps, 0, v), slice(ps, v + 1)),
                    "20005 packets (00:00:09); left out: 188 bytes outside packets", "damaged"});

    for (size_t overlap : {1, 37, 500, 1000})
        rows.push_back({"parts overlapping", {bytes(slice(ps, 0, 9000)), bytes(slice(ps, 9000 - overlap))}, ps,
                        "20006 packets (00:00:09); left out: " + std::to_string(overlap) + " packets repeated at part joins",
                        "intact"});
    rows.push_back({"three parts, garbage behind the second",
                    {bytes(slice(ps, 0, 7000)), joined(bytes(slice(ps, 6800, 14000)), b::Bytes(77, 0x00)), bytes(slice(ps, 13500))},
                    ps, "20006 packets (00:00:09); left out: 77 bytes outside packets, 700 packets repeated at part joins",
                    "intact"});
    // A part file that ends in a run of zeros longer than the buffers (a
    // receiver reserves room ahead): the next part's repeat is still found.
    rows.push_back({"parts overlapping behind 800,000 zeros",
                    {joined(bytes(slice(ps, 0, 9000)), b::Bytes(800000, 0x00)), bytes(slice(ps, 8800))}, ps,
                    "20006 packets (00:00:09); left out: 800000 bytes outside packets, 200 packets repeated at part joins",
                    "intact"});
    // Lost packets stay lost: 6,000 packets (3 s) are missing in the new file.
    rows.push_back({"the middle part missing", {bytes(slice(ps, 0, 6000)), {}, bytes(slice(ps, 12000))},
                    joined(slice(ps, 0, 6000), slice(ps, 12000)), "14006 packets (00:00:09)", "damaged"});

    b::Recipe r = receiver();
    r.head.erase(r.head.begin(), r.head.begin() + 4);
    const Packets no_qbx = b::make_recording(r);
    rows.push_back({"no receiver's packets", {bytes(no_qbx)}, expected_file(no_qbx, true, false),
                    "20003 packets (00:00:09); added: header record", "intact"});
    r = receiver();
    r.head.erase(r.head.begin() + 4);
    r.repeated = {r.repeated[1]};
    const Packets no_pat = b::make_recording(r);
    rows.push_back({"no PAT anywhere", {bytes(no_pat)}, expected_file(no_pat, false, true),
                    "20007 packets (00:00:09); added: PAT, PMT", ""});
    r = receiver();
    r.head.clear();
    const Packets bare = b::make_recording(r);
    rows.push_back({"no header record, PAT or PMT at the head", {bytes(bare)}, expected_file(bare, true, true),
                    "20003 packets (00:00:09); added: header record, PAT, PMT", "intact"});
    r.repeated.clear();
    const Packets tableless = b::make_recording(r);
    rows.push_back({"no PMT anywhere: nothing to build from", {bytes(tableless)}, tableless,
                    "20000 packets (00:00:09)", "damaged", false});

    // A zeroed head, half a packet and garbage at the ends of the parts,
    // overlaps of 200 and 500 packets.
    b::Bytes first(all.begin(), all.begin() + 7000 * 188 + 120);
    std::fill(first.begin(), first.begin() + 5 * 188, 0x00);
    b::Bytes second = bytes(slice(ps, 6800, 14000));
    b::insert_bytes(second, 1000 * 188, 64, 0x47);
    rows.push_back({"combined", {first, second, bytes(slice(ps, 13500))}, expected_file(slice(ps, 5), true, true),
                    "20004 packets (00:00:09); left out: 1124 bytes outside packets, 700 packets repeated at part joins; "
                    "added: header record, PAT, PMT",
                    "intact"});
    return rows;
}

void write_parts(const t::TempDir& dir, const Parts& parts, std::vector<std::string>& written) {
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].empty()) continue;
        written.push_back(dir.file(b::part_name("rec.ts", unsigned(i))));
        ASSERT_TRUE(t::write_file(written.back(), parts[i]));
    }
}

int64_t change_time(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? int64_t(st.st_ctime) : -1;
}

// The salvage's lines among the reports: its own line and the verdict.
std::string salvage_lines(const std::string& out) {
    std::string lines;
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
        end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(at, end - at);
        if (line.rfind("Salvaged ", 0) == 0 || line.rfind("Would: ", 0) == 0 || line.rfind("'", 0) == 0)
            lines += line + "\n";
    }
    return lines;
}

TEST(Salvage, EachDamageLeavesTheGoodPacketsInOrder) {
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.what + (" -> " + row.line));
        t::TempDir dir;
        std::vector<std::string> files;
        write_parts(dir, row.parts, files);
        t::Unchanged kept(files);
        const int64_t changed = change_time(files[0]);

        t::RunResult r = t::run_varnek({"-salvage:out.ts", "rec.ts"}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
        t::RunResult check = t::run_varnek({"-check", "-json", "out.ts"}, dir.path());
        Json o = Json::parse(check.out, nullptr, false);
        ASSERT_FALSE(o.is_discarded()) << check.out;
        EXPECT_EQ(salvage_lines(r.out), "Salvaged 'rec.ts' into 'out.ts': " + row.line + "\n'out.ts': " +
                                         o["check"]["verdict"].get<std::string>() + "\n");
        if (!row.verdict.empty()) {
            EXPECT_EQ(o["check"]["verdict"], row.verdict) << check.out;
        }
        for (const char* kind : {"sync", "partial_packet", "part_join", "duration"})
            EXPECT_EQ(o["check"]["counts"][kind], 0) << kind;
        for (const char* kind : {"no_header", "no_pat", "no_pmt"})
            EXPECT_EQ(o["check"]["counts"][kind], row.tables ? 0 : 1) << kind;
        EXPECT_TRUE(t::read_file(dir.file("out.ts")) == bytes(row.expected)) << "new file: other bytes";

        kept.check();
        EXPECT_EQ(change_time(files[0]), changed);
        varnek::FileTimes times;
        ASSERT_TRUE(varnek::get_file_times(dir.file("out.ts").c_str(), times));
        EXPECT_EQ(times.modify_sec, t::Unchanged::old.modify_sec);
        EXPECT_EQ(times.modify_nsec, t::Unchanged::old.modify_nsec);
    }
}

// An existing file, -dry, folders and the JSON object, on rec.ts and rec.ts1
// (1 s, 1,003 packets each) and a.ts (the same packets in one file with the
// first one zeroed). The targets refused are Targets.RefusedWritesChangeNothing's.
TEST(Salvage, TargetsDryRunFoldersAndJson) {
    const Packets ps = b::make_recording(receiver(1));
    const b::Bytes all = bytes(ps);
    b::Bytes zeroed = all;
    std::fill(zeroed.begin(), zeroed.begin() + 188, 0x00);
    const b::Bytes old = {'o', 'l', 'd'};
    const std::string line = "Salvaged 'rec.ts' into 'out.ts': 2006 packets (00:00:00)\n";
    const std::string zeroed_line = "2006 packets (00:00:00); left out: 188 bytes outside packets; added: header record\n";
    const std::string sync = "\nSync lost at 00000000 ==> ReSync at 000000BC\n";  // the scan of a.ts
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int code;
        std::string out, err;                         // the lines behind the report; stderr
        std::vector<std::pair<std::string, b::Bytes>> files = {};  // afterwards; empty bytes: missing
        Json salvage = nullptr;                       // the JSON object's, with -json
    };
    const Case cases[] = {
        {"an existing file stays", {"-salvage:out.ts", "rec.ts"}, 3, "",
         "Error: 'out.ts' exists: use -force to replace it!\n", {{"out.ts", old}}},
        {"-force replaces it", {"-salvage:out.ts", "-force", "rec.ts"}, 0, line + "'out.ts': intact\n", "",
         {{"out.ts", all}}},
        {"-dry writes nothing", {"-dry", "-salvage:new.ts", "a.ts"}, 0,
         "Would: Salvaged 'a.ts' into 'new.ts': " + zeroed_line, sync, {{"new.ts", {}}}},
        {"several recordings go into a folder", {"-salvage:clean", "a.ts", "rec.ts"}, 0,
         "Salvaged 'a.ts' into 'clean/a.ts': " + zeroed_line + "'clean/a.ts': intact\n" +
             "Salvaged 'rec.ts' into 'clean/rec.ts': 2006 packets (00:00:00)\n'clean/rec.ts': intact\n",
         sync, {{"clean/rec.ts", all}}},
        {"one result per name, even with -force", {"-salvage:clean", "-force", "rec.ts", "./rec.ts"}, 3,
         "Salvaged 'rec.ts' into 'clean/rec.ts': 2006 packets (00:00:00)\n'clean/rec.ts': intact\n",
         "Error: 'clean/rec.ts' is written by this run already!\n", {{"clean/rec.ts", all}}},
        // As *.ts* names them: a copy of rec.ts1 would be the part file of clean/rec.ts.
        {"a part file named beside its recording is salvaged with it", {"-salvage:clean", "rec.ts", "rec.ts1"}, 0,
         "Salvaged 'rec.ts' into 'clean/rec.ts': 2006 packets (00:00:00)\n'clean/rec.ts': intact\n",
         "'rec.ts1' is a part file of 'rec.ts': read with it\n", {{"clean/rec.ts", all}, {"clean/rec.ts1", {}}}},
        {"a file that would be the new file's part file", {"-salvage:old.ts", "-force", "rec.ts"}, 3, "",
         "Error: 'old.ts1' exists: 'old.ts' would be read with it as its part file!\n",
         {{"old.ts", {}}, {"old.ts1", old}}},
        {"a new file that would be an old file's part file", {"-salvage:old.ts11", "rec.ts"}, 3, "",
         "Error: 'old.ts11' would be read as the part file of 'old.ts1'!\n", {{"old.ts11", {}}}},
        {"which must be a folder", {"-salvage:out.ts", "a.ts", "rec.ts"}, 3, "",
         sync + "Error: 'out.ts' is not a folder!\nError: 'out.ts' is not a folder!\n", {{"out.ts", old}}},
        {"JSON", {"-json", "-salvage:new.ts", "a.ts"}, 0, "", sync, {},
         Json{{"file", "new.ts"}, {"packets", 2006}, {"left_out_bytes", 188}, {"left_out_join_packets", 0},
              {"added", {"header record"}}, {"verdict", "intact"}}},
        {"JSON of a dry run", {"-json", "-dry", "-salvage:new.ts", "rec.ts"}, 0, "", "", {{"new.ts", {}}},
         Json{{"file", "new.ts"}, {"packets", 2006}, {"left_out_bytes", 0}, {"left_out_join_packets", 0},
              {"added", Json::array()}, {"verdict", nullptr}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        t::TempDir dir;
        std::vector<std::string> files;
        write_parts(dir, {bytes(slice(ps, 0, 1003)), bytes(slice(ps, 1003))}, files);
        ASSERT_TRUE(t::write_file(dir.file("a.ts"), zeroed));
        files.push_back(dir.file("a.ts"));
        ASSERT_TRUE(t::write_file(dir.file("out.ts"), old));
        ASSERT_TRUE(t::write_file(dir.file("old.ts1"), old));
        t::Unchanged kept(files);

        t::RunResult run = t::run_varnek(c.args, dir.path());
        EXPECT_EQ(run.exit_code, c.code);
        EXPECT_EQ(run.err, c.err);
        if (c.salvage.is_null()) {
            EXPECT_EQ(salvage_lines(run.out), c.out);
        } else {
            Json o = Json::parse(run.out, nullptr, false);
            EXPECT_EQ(o["salvage"], c.salvage) << run.out;
        }
        for (const auto& [name, content] : c.files)
            EXPECT_TRUE(content.empty() ? !t::file_exists(dir.file(name)) : t::read_file(dir.file(name)) == content)
                << name;
        kept.check();
    }
}

// A salvage that fails (at the file-size limit) or is refused (a FIFO as
// the recording: the scan reads it once, the salvage would wait for a writer
// forever) leaves no file behind, neither the new one nor its temporary
// file, and the exit status is 3.
TEST(Salvage, FailedOrRefusedLeavesNothing) {
    VARNEK_NOT_ON_WINDOWS("there is no file-size limit and there are no FIFOs");
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "FIFO" : "limit");
        t::TempDir dir;
        std::thread writer;
        if (fifo) {
            ASSERT_EQ(t::portable::make_fifo(dir.file("rec.ts").c_str()), 0);
            writer = std::thread([&] { t::write_file(dir.file("rec.ts"), bytes(b::make_recording(receiver(1)))); });
        } else {
            ASSERT_TRUE(b::write_recording(receiver(1), dir.file("rec.ts")).ok);
        }
        const t::Unchanged kept(fifo ? std::vector<std::string>{} : std::vector<std::string>{dir.file("rec.ts")});
        const uint64_t limit = fifo ? t::no_size_limit : 100000;
        t::RunResult r = t::run_varnek_restricted({"-salvage:out.ts", "rec.ts"}, dir.path(), limit);
        if (fifo) writer.join();
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_EQ(r.err, fifo ? "Error: 'rec.ts' is not a regular file: not salvaged!\n" : "Error: Can't write 'out.ts'!\n");
        EXPECT_EQ(t::folder_names(dir.path()), std::vector<std::string>{"rec.ts"});
        kept.check();
    }
}

// A run stopped by Ctrl-C, a closed terminal or kill while it writes the
// new file removes the temporary file, and still ends by that signal.
TEST(Salvage, StoppedRunRemovesItsTemporaryFile) {
#ifdef _WIN32
    VARNEK_NOT_ON_WINDOWS("there are no such signals");
#else
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        t::TempDir dir;
        const std::string temp = dir.file("out.ts.varnek-half");
        ASSERT_TRUE(t::write_file(temp, std::string("half")));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::signal(signal, SIG_DFL);
            varnek::remove_when_stopped(temp.c_str());
            raise(signal);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
        EXPECT_FALSE(t::file_exists(temp)) << signal;
    }
#endif
}

}  // namespace
