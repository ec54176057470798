// -check counts every kind of damage exactly and locates it; clean
// recordings, part files included, are intact; files it cannot read and
// files that are no transport stream get their own verdicts.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <sstream>

#include "builder.h"
#include "programs.h"

namespace b = varnek::build;
namespace t = varnek::test;
using Json = nlohmann::json;
using Packets = std::vector<b::Packet>;

namespace {

constexpr unsigned video = 0x100, audio = 0x101, pmt_pid = 0x64;

unsigned pid_of(const b::Packet& p) { return unsigned(p[1] & 0x1F) << 8 | p[2]; }
bool has_payload(const b::Packet& p) { return (p[3] & 0x10) != 0; }
bool has_pcr(const b::Packet& p) { return (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x10); }
// The packet of body time ms (2 packets per ms behind the 6 head packets).
size_t at_ms(unsigned ms) { return 6 + 2 * size_t(ms); }

// The index of the first packet at or after from on pid that carries
// payload and no PCR.
size_t payload_packet(const Packets& ps, size_t from, unsigned pid) {
    for (size_t i = from; i < ps.size(); ++i)
        if (pid_of(ps[i]) == pid && has_payload(ps[i]) && !has_pcr(ps[i])) return i;
    return ps.size();
}

// Packets of pid (with pusi, when asked) from from to to.
std::vector<size_t> packets_of(const Packets& ps, unsigned pid, size_t from, size_t to, bool pusi_only = false) {
    std::vector<size_t> found;
    for (size_t i = from; i < to && i < ps.size(); ++i)
        if (pid_of(ps[i]) == pid && (!pusi_only || (ps[i][1] & 0x40))) found.push_back(i);
    return found;
}

// The counters of pid from from on follow on from the packet before.
void renumber(Packets& ps, unsigned pid, size_t from) {
    unsigned cc = 0;
    for (size_t i = from; i-- > 0;)
        if (pid_of(ps[i]) == pid && has_payload(ps[i])) {
            cc = ps[i][3] & 0x0F;
            break;
        }
    for (size_t i = from; i < ps.size(); ++i) {
        if (pid_of(ps[i]) != pid) continue;
        if (has_payload(ps[i])) cc = (cc + 1) & 0x0F;
        ps[i][3] = uint8_t((ps[i][3] & 0xF0) | cc);
    }
}

// The packets of pid from from to to become null packets; the counters
// behind them follow on.
void blank(Packets& ps, unsigned pid, size_t from, size_t to) {
    for (size_t i : packets_of(ps, pid, from, to)) ps[i] = b::null_packet();
    renumber(ps, pid, to);
}

// A section with the section syntax and its CRC: table id, length, body.
b::Bytes section(uint8_t table, b::Bytes body) {
    b::Bytes s{table, uint8_t(0xB0 | ((body.size() + 4) >> 8)), uint8_t((body.size() + 4) & 0xFF)};
    s.insert(s.end(), body.begin(), body.end());
    uint32_t crc = b::crc32_mpeg2(s);
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(uint8_t(crc >> shift));
    return s;
}
b::Bytes sdt_section() { return section(0x42, {0x04, 0x31, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xFF}); }

// The packet at i becomes a section packet on its PID with its counter.
void replace_section(Packets& ps, size_t i, const b::Bytes& s) {
    ps[i] = b::section_packet(uint16_t(pid_of(ps[i])), s, ps[i][3] & 0x0F);
}

// 2 packets per ms: 20,000 are 10 s.
b::Recipe receiver(uint64_t body, uint16_t duration_s = 10) { return b::dated_receiver_recipe("Check", duration_s, body); }

// The receiver's recording with a PMT of two packets (a long program
// descriptor) and an SDT among the repeated tables.
Packets with_long_pmt_and_sdt() {
    b::Recipe r = receiver(20000);
    b::PmtFields fields = b::pmt_for(r);
    fields.program_descriptors = b::Bytes{0x80, 198};
    fields.program_descriptors.resize(200, 0x5A);
    b::Bytes pmt = b::pmt_section(fields);
    b::PacketFields first, second;
    first.pid = second.pid = pmt_pid;
    first.pusi = true;
    second.continuity = 1;
    first.payload = b::Bytes{0};
    first.payload.insert(first.payload.end(), pmt.begin(), pmt.begin() + 183);
    second.payload = b::Bytes(pmt.begin() + 183, pmt.end());
    r.head[5] = b::make_packet(first);
    r.repeated = {r.head[4], r.head[5], b::make_packet(second), b::section_packet(0x11, sdt_section())};
    r.head.push_back(r.repeated[2]);
    return b::make_recording(r);
}

using Parts = std::vector<b::Bytes>;
void erase(Packets& ps, size_t i) { ps.erase(ps.begin() + long(i)); }
// The packets before first_end, and those from second_begin on, as two part files.
Parts two_parts(const Packets& ps, long first_end, long second_begin) {
    return {b::pack(Packets(ps.begin(), ps.begin() + first_end)),
            b::pack(Packets(ps.begin() + second_begin, ps.end()))};
}

constexpr uint64_t any = ~uint64_t(0);

// The counts of -check's object: each kind as counts says (any: not looked
// at), every other kind 0.
void expect_counts(const Json& check, const std::map<std::string, uint64_t>& counts) {
    for (const auto& [kind, count] : counts) EXPECT_TRUE(check["counts"].contains(kind)) << kind;
    for (auto& [kind, count] : check["counts"].items()) {
        auto want = counts.find(kind);
        const uint64_t expected = want == counts.end() ? 0 : want->second;
        EXPECT_TRUE(expected == any || count == expected) << kind << ": " << count;
    }
}

struct Damage {
    const char* name;
    std::map<std::string, uint64_t> counts;  // as for expect_counts
    // Changes the packets, or makes the part files itself (else one of them all).
    void (*apply)(Packets&, Parts& parts);
    uint64_t first_offset = 0;  // of the first problem, where located
};

TEST(Check, CountsEqualTheDamageMade) {
    const Damage rows[] = {
        {"clean", {}, [](Packets&, Parts&) {}},
        {"one packet dropped", {{"continuity", 1}},
         [](Packets& ps, Parts&) { erase(ps, payload_packet(ps, 5000, video)); }},
        {"a run of 40 packets dropped", {{"continuity", 1}},
         [](Packets& ps, Parts&) {
             size_t at = payload_packet(ps, 5000, audio);
             for (int n = 0; n < 3; ++n) erase(ps, payload_packet(ps, at, audio));
         }},
        {"a packet repeated once, another twice", {{"continuity", 1}},
         [](Packets& ps, Parts&) {
             size_t a = payload_packet(ps, 4000, video);
             ps.insert(ps.begin() + long(a) + 1, ps[a]);
             size_t v = payload_packet(ps, 8000, audio);
             ps.insert(ps.begin() + long(v) + 1, 2, ps[v]);
         }},
        {"a dropped packet behind which the discontinuity indicator is set", {},
         [](Packets& ps, Parts&) {
             size_t k = 5000;
             while (!(pid_of(ps[k]) == video && has_payload(ps[k]) && (ps[k][3] & 0x20) && ps[k][4] > 0)) ++k;
             ps[k][5] |= 0x80;
             size_t j = k - 1;
             while (!(pid_of(ps[j]) == video && has_payload(ps[j]))) --j;
             erase(ps, j);
         }},
        {"transport errors flagged", {{"transport_error", 2}},
         [](Packets& ps, Parts&) {
             ps[payload_packet(ps, 3000, video)][1] |= 0x80;
             ps[payload_packet(ps, 9000, audio)][1] |= 0x80;
         }},
        {"garbage bytes between packets", {{"sync", 1}},
         [](Packets& ps, Parts& parts) {
             parts = {b::pack(ps)};
             b::insert_bytes(parts[0], 6000 * 188, 100, 0xFF);
         },
         6000 * 188},
        {"a sync byte damaged", {{"sync", 1}, {"continuity", 1}},
         [](Packets& ps, Parts&) { ps[payload_packet(ps, 7000, video)][0] = 0x00; }},
        {"last packet cut short", {{"partial_packet", 1}},
         [](Packets& ps, Parts& parts) {
             parts = {b::pack(ps)};
             parts[0].resize(parts[0].size() - 100);
         }},
        // One byte of a section before ends nothing.
        {"every PAT behind a pointer field of 1", {},
         [](Packets& ps, Parts&) {
             for (size_t i : packets_of(ps, 0, 0, ps.size())) {
                 std::copy_backward(ps[i].begin() + 5, ps[i].end() - 1, ps[i].end());
                 ps[i][4] = 1;
                 ps[i][5] = 0x00;
             }
         }},
        {"a PAT with a wrong CRC", {{"crc", 1}},
         [](Packets& ps, Parts&) { ps[packets_of(ps, 0, 5000, ps.size())[0]][16] ^= 0x01; }},
        // The PCR jumps; the counters too, unless by 16.
        {"400 packets (200 ms) lost in the middle", {{"pcr_gap", 1}, {"continuity", any}},
         [](Packets& ps, Parts&) { ps.erase(ps.begin() + 8000, ps.begin() + 8400); }},
        {"two parts that join well", {}, [](Packets& ps, Parts& parts) { parts = two_parts(ps, 9000, 9000); }},
        {"the second part repeats 300 packets", {{"part_join", 1}, {"continuity", 2}},
         [](Packets& ps, Parts& parts) { parts = two_parts(ps, 9000, 8700); }},
        // 500 ms: video, audio, PAT and PMT lose packets, the tables are
        // missed for more than 500 ms.
        {"1000 packets lost between the parts", {{"part_join", 1}, {"continuity", 4}, {"pat", 1}, {"pmt", 1}},
         [](Packets& ps, Parts& parts) { parts = two_parts(ps, 9000, 10000); }},
        {"a counter moved on a packet without payload", {{"continuity", 1}},
         [](Packets& ps, Parts&) {
             size_t i = payload_packet(ps, 5000, video);
             b::Packet moved = ps[i];
             moved[3] = uint8_t(0x20 | ((ps[i][3] + 1) & 0x0F));  // adaptation only, the next counter
             moved[4] = 183;
             moved[5] = 0x00;
             ps.insert(ps.begin() + long(i) + 1, moved);
         }},
        {"a packet lost before a packet without payload that has its counter", {{"continuity", 1}},
         [](Packets& ps, Parts&) {
             size_t i = payload_packet(ps, 5000, video), next = payload_packet(ps, i + 1, video);
             ps[next][3] = uint8_t(0x20 | (ps[next][3] & 0x0F));
             ps[next][4] = 183;
             ps[next][5] = 0x00;
         }},
        {"15 packets lost: the counter repeats with other content", {{"continuity", 1}},
         [](Packets& ps, Parts&) {
             size_t i = payload_packet(ps, 5000, video);
             std::vector<size_t> next = packets_of(ps, video, i + 1, i + 400);
             for (size_t n = 15; n-- > 0;) erase(ps, next[n]);
             size_t after = payload_packet(ps, i + 1, video);
             ASSERT_EQ(ps[after][3] & 0x0F, ps[i][3] & 0x0F);
             ps[after][100] ^= 0x01;  // other content, the same counter
         }},
        {"a section with another table id on PID 0", {{"pat", 1}},
         [](Packets& ps, Parts&) { replace_section(ps, packets_of(ps, 0, 5000, ps.size())[0], sdt_section()); }},
        {"no PAT for a second", {{"pat", 1}}, [](Packets& ps, Parts&) { blank(ps, 0, at_ms(4000), at_ms(5000)); }},
        {"PID 0 scrambled for three packets", {{"pat", 1}},
         [](Packets& ps, Parts&) {
             std::vector<size_t> pats = packets_of(ps, 0, at_ms(4000), ps.size());
             for (int n = 0; n < 3; ++n) ps[pats[n]][3] |= 0x80;
         }},
        {"no PMT for a second", {{"pmt", 1}},
         [](Packets& ps, Parts&) { blank(ps, pmt_pid, at_ms(4000), at_ms(5000)); }},
        {"a section with another table id on the PMT PID", {{"pmt", 1}},
         [](Packets& ps, Parts&) { replace_section(ps, packets_of(ps, pmt_pid, 5000, ps.size())[0], sdt_section()); }},
        {"the PMT PID scrambled", {{"pmt", 1}},
         [](Packets& ps, Parts&) { ps[packets_of(ps, pmt_pid, 5000, ps.size())[0]][3] |= 0xC0; }},
        {"no audio for 6 s", {{"stream_gap", 1}, {"pts_gap", 1}},
         [](Packets& ps, Parts&) { blank(ps, audio, at_ms(2000), at_ms(8000)); }},
        {"video PES starts without a PTS for a second", {{"pts_gap", 1}},
         [](Packets& ps, Parts&) {
             for (size_t i : packets_of(ps, video, at_ms(4000), at_ms(5000), true))
                 ps[i][((ps[i][3] & 0x20) ? 5 + ps[i][4] : 4) + 7] &= 0x7F;
         }},
        {"two runs of scrambled video", {{"scrambled", 2}},
         [](Packets& ps, Parts&) {
             for (unsigned from : {3000u, 6000u})
                 for (size_t i : packets_of(ps, video, at_ms(from), at_ms(from + 100))) ps[i][3] |= 0x80;
         }},
        {"a PMT over two packets and an SDT", {}, [](Packets& ps, Parts&) { ps = with_long_pmt_and_sdt(); }},
        {"a PMT over two packets with a wrong CRC in the second", {{"crc", 1}},
         [](Packets& ps, Parts&) {
             ps = with_long_pmt_and_sdt();
             for (size_t i : packets_of(ps, pmt_pid, 5000, ps.size()))
                 if (!(ps[i][1] & 0x40)) {
                     ps[i][10] ^= 0x01;
                     break;
                 }
         }},
        {"an SDT with a wrong CRC", {{"crc", 1}},
         [](Packets& ps, Parts&) {
             ps = with_long_pmt_and_sdt();
             ps[packets_of(ps, 0x11, 5000, ps.size())[0]][10] ^= 0x01;
         }},
        {"another PID with PCRs, 300 ms apart once", {{"pcr_gap", 1}},
         [](Packets& ps, Parts&) {
             for (unsigned ms = 9000; ms >= 1000; ms -= 40) {
                 if (ms > 4000 && ms < 4300) continue;
                 ps.insert(ps.begin() + long(at_ms(ms)), b::pcr_packet(0x200, uint64_t(ms) * 90));
             }
         }},
    };
    for (const Damage& row : rows) {
        SCOPED_TRACE(row.name);
        t::TempDir dir;
        Packets ps = b::make_recording(receiver(20000));
        Parts parts;
        row.apply(ps, parts);
        if (::testing::Test::HasFatalFailure()) return;
        if (parts.empty()) parts = {b::pack(ps)};
        uint64_t bytes = 0;
        for (unsigned i = 0; i < parts.size(); bytes += parts[i++].size())
            ASSERT_TRUE(t::write_file(dir.file(b::part_name("rec.ts", i)), parts[i]));
        t::RunResult r = t::run_varnek({"-check", "-json", "rec.ts"}, dir.path());
        Json o = Json::parse(r.out, nullptr, false);
        ASSERT_FALSE(o.is_discarded()) << r.out;
        const Json& check = o["check"];
        expect_counts(check, row.counts);
        EXPECT_EQ(o["scan"], "check");
        // The first PAT is whole in every row: the object reads its section
        // where the pointer field puts it, as the check does.
        EXPECT_EQ(o["pat"]["crc_ok"], true);
        EXPECT_EQ(check["verdict"], row.counts.empty() ? "intact" : "damaged");
        EXPECT_EQ(r.exit_code, row.counts.empty() ? 0 : 1);
        if (row.first_offset != 0) {
            EXPECT_EQ(check["problems"][0]["offset"], row.first_offset);
        }
        // Every whole packet in sync is counted, in every part.
        if (!row.counts.count("sync") && !row.counts.count("partial_packet")) {
            EXPECT_EQ(check["packets"], bytes / 188);
        }
        // Each problem with a PID is counted on its PID.
        ASSERT_TRUE(check.contains("pids")) << r.out;
        std::map<std::string, uint64_t> of_pids;
        for (const Json& pid : check["pids"])
            for (auto& [kind, count] : pid["counts"].items()) of_pids[kind] += count.get<uint64_t>();
        for (const Json& p : check["problems"]) EXPECT_TRUE(p["pid"].is_null() || of_pids[p["kind"]] >= 1) << p;
    }
}

// What a file is when it cannot be read whole, is not all there, or is no
// recording at all; and a clock seen once, which measures nothing.
TEST(Check, VerdictsOfFilesAndParts) {
    const b::Bytes recording = b::recording_bytes(receiver(4000, 2));
    auto noise = [](b::Bytes head, size_t size) {
        uint32_t x = 12345;
        while (head.size() < size) head.push_back(uint8_t((x = x * 1103515245u + 12345u) >> 24));
        // A false start: sync bytes where two packets would begin.
        head[5000] = head[5188] = head[5376] = 0x47;
        return head;
    };
    const struct Row {
        const char* name;
        b::Bytes rec;                                   // rec.ts
        std::function<void(const t::TempDir&)> parts;  // makes its part files
        const char* verdict;
        std::map<std::string, uint64_t> counts;  // as for expect_counts
        int exit_code;
        bool as_nobody = false;
    } rows[] = {
        {"the last part file returns read errors", recording,
         [](const t::TempDir& d) {
             ASSERT_EQ(varnek::test::portable::make_symlink("/proc/self/mem", d.file("rec.ts1").c_str()), 0);
         },
         "unreadable", {{"read_error", 1}}, 2},
        {"a part file that cannot be opened", recording,
         [&](const t::TempDir& d) {
             ASSERT_TRUE(t::write_file(d.file("rec.ts1"), recording));
             ASSERT_EQ(chmod(d.file("rec.ts1").c_str(), 0600), 0);
         },
         "unreadable", {{"read_error", 1}}, 2, true},
        {"a middle part file missing", recording,
         [&](const t::TempDir& d) { ASSERT_TRUE(t::write_file(d.file("rec.ts5"), recording)); }, "damaged",
         {{"part_missing", 1}}, 1},
        {"a picture", noise({0xFF, 0xD8, 0xFF, 0xE0}, 100000), {}, "not_ts", {}, 2},
        {"a Matroska file", noise({0x1A, 0x45, 0xDF, 0xA3}, 300000), {}, "not_ts", {}, 2},
        {"an empty file", {}, {}, "not_ts", {}, 2},
        // The header record says 10 s.
        {"one PCR, which measures no duration", b::recording_bytes(receiver(30)), {}, "intact", {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (VARNEK_ON_WINDOWS && (row.as_nobody || row.counts.count("read_error"))) continue;
        if (row.as_nobody && geteuid() != 0) continue;  // needs root to become nobody
        t::TempDir dir;
        ASSERT_TRUE(!row.as_nobody || chmod(dir.path().c_str(), 0755) == 0);
        ASSERT_TRUE(t::write_file(dir.file("rec.ts"), row.rec));
        if (row.parts) row.parts(dir);
        if (::testing::Test::HasFatalFailure()) return;
        t::RunResult r = t::run_varnek_restricted({"-check", "-json", "rec.ts"}, dir.path(), t::no_size_limit,
                                                  row.as_nobody);
        Json o = Json::parse(r.out, nullptr, false);
        ASSERT_FALSE(o.is_discarded()) << r.out << r.err;
        EXPECT_EQ(o["check"]["verdict"], row.verdict);
        EXPECT_EQ(r.exit_code, row.exit_code);
        expect_counts(o["check"], row.counts);
    }
}

TEST(Check, TextLinesVerdictsAndExitStatus) {
    t::TempDir dir;
    b::Recipe bare;  // no header record, no PAT, no PMT, 10 s
    bare.body_packets = 20000;
    ASSERT_TRUE(b::write_recording(receiver(20000), dir.file("good.ts")).ok);
    ASSERT_TRUE(b::write_recording(bare, dir.file("bare.ts")).ok);
    // The header record says 10 s, the PCRs span 2 s.
    ASSERT_TRUE(b::write_recording(receiver(4000), dir.file("short.ts")).ok);
    Packets lost = b::make_recording(receiver(4000));
    lost.erase(lost.begin() + long(payload_packet(lost, 3000, video)));
    ASSERT_TRUE(b::write_packets(dir.file("lost.ts"), lost));

    t::RunResult r = t::run_varnek({"-check", "good.ts", "bare.ts", "short.ts", "lost.ts", "-fixqbx"}, dir.path());
    EXPECT_EQ(r.out,
              "'good.ts': intact (20006 packets, 00:00:09)\n"
              "'bare.ts': no_header: no QBXH record\n"
              "'bare.ts': no_pat: no PAT\n"
              "'bare.ts': no_pmt: no PMT\n"
              "  PID label       packets\n"
              "  256 no PMT        18096\n"
              "  257 no PMT         1904\n"
              "'bare.ts': damaged: 1 no_header, 1 no_pat, 1 no_pmt\n"
              "'short.ts': duration: the header record says 00:00:10, the PCRs span 00:00:01\n"
              "  PID label       packets\n"
              "  511 Tavrix            4\n"
              "    0 PAT              21\n"
              "  100 PMT              21\n"
              "  256 Video Mpeg2    3508\n"
              "  257 Audio Mpeg1     372\n"
              " 8191 Null             80\n"
              "'short.ts': damaged: 1 duration\n"
              "00:00:01.497 'lost.ts' offset 0x89B20 packet 3000 time 00:00:11.480 PID 256: continuity: "
              "expected counter 2, found 3\n"
              "'lost.ts': duration: the header record says 00:00:10, the PCRs span 00:00:01\n"
              "  PID label       packets continuity\n"
              "  511 Tavrix            4          0\n"
              "    0 PAT              21          0\n"
              "  100 PMT              21          0\n"
              "  256 Video Mpeg2    3507          1\n"
              "  257 Audio Mpeg1     372          0\n"
              " 8191 Null             80          0\n"
              "'lost.ts': damaged: 1 continuity, 1 duration\n"
              "4 recordings: 1 intact, 3 damaged, 0 unreadable\n");
    EXPECT_EQ(r.exit_code, 1);
    // -check only reads.
    EXPECT_EQ(r.err, "Note: -check only reads: -fixqbx, -fixpat, -get: and -put: are not carried out\n");
    EXPECT_EQ(t::read_file(dir.file("bare.ts")), b::recording_bytes(bare));

    // The same in JSON: the place in recording time, the PIDs, the summary.
    r = t::run_varnek({"-check", "-json", "good.ts", "lost.ts"}, dir.path());
    std::istringstream lines(r.out);
    std::string line[3];
    for (std::string& l : line) std::getline(lines, l);
    Json lost_ts = Json::parse(line[1], nullptr, false);
    EXPECT_EQ(lost_ts["check"]["problems"][0]["at_ms"], 1497) << r.out;
    EXPECT_EQ(lost_ts["check"]["problems"][0]["time_ms"], 11480);
    EXPECT_EQ(lost_ts["check"]["pids"][3],
              Json::parse(R"({"pid": 256, "label": "Video Mpeg2", "packets": 3507, "counts": {"sync": 0,
              "continuity": 1, "transport_error": 0, "pcr_gap": 0, "part_join": 0, "partial_packet": 0, "crc": 0,
              "pat": 0, "pmt": 0, "stream_gap": 0, "pts_gap": 0, "scrambled": 0, "read_error": 0,
              "part_missing": 0, "no_header": 0, "no_pat": 0, "no_pmt": 0, "duration": 0}})"));
    EXPECT_EQ(line[2] + "\n", R"({"summary":{"recordings":2,"intact":1,"damaged":1,"unreadable":0,"not_ts":0}})" "\n");
    EXPECT_FALSE(std::getline(lines, line[0])) << r.out;

    // Unreadable and not a transport stream win over damaged, in any order.
    ASSERT_TRUE(t::write_file(dir.file("text.ts"), std::string(1000, 'x')));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-check", "missing.ts", "bare.ts"},
                                                 std::vector<std::string>{"-check", "bare.ts", "text.ts", "good.ts"}}) {
        r = t::run_varnek(args, dir.path());
        EXPECT_EQ(r.exit_code, 2) << args[1];
    }
    EXPECT_NE(r.out.find("'text.ts': not a transport stream\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n3 recordings: 1 intact, 1 damaged, 0 unreadable, 1 not a transport stream\n"),
              std::string::npos) << r.out;
}

}  // namespace
