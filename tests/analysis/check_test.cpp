// -check counts every kind of damage exactly and locates it; clean
// recordings, part files included, are intact.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include "builder.h"
#include "programs.h"

namespace b = varnek::build;
namespace t = varnek::test;
using Json = nlohmann::json;
using Packets = std::vector<b::Packet>;

namespace {

unsigned pid_of(const b::Packet& p) { return unsigned(p[1] & 0x1F) << 8 | p[2]; }
bool has_payload(const b::Packet& p) { return (p[3] & 0x10) != 0; }

// The index of the n-th packet at or after from on pid that carries payload
// and no PCR.
size_t payload_packet(const Packets& ps, size_t from, unsigned pid) {
    for (size_t i = from; i < ps.size(); ++i)
        if (pid_of(ps[i]) == pid && has_payload(ps[i]) && !((ps[i][3] & 0x20) && (ps[i][5] & 0x10))) return i;
    return ps.size();
}

b::Recipe receiver(uint64_t body) {
    b::ReceiverFields f;
    f.duration_s = 10;
    f.mjd = b::mjd_from_date(2026, 11, 28);
    f.channel = "Check";
    b::Recipe r = b::receiver_recipe(f);
    r.body_packets = body;  // 2 packets per ms: 20,000 is 10 s
    return r;
}

struct Damage {
    const char* name;
    // Changes the packets, or makes the part files itself (else one of them all).
    std::function<void(Packets&, std::vector<b::Bytes>& parts)> apply;
    std::map<std::string, uint64_t> counts;  // every other kind: 0; any: not looked at
    uint64_t first_offset = 0;               // of the first problem, where located
};

constexpr uint64_t any = ~uint64_t(0);


TEST(Check, CountsEqualTheDamageMade) {
    const unsigned video = 0x100, audio = 0x101;
    const std::vector<Damage> rows = {
        {"clean", [](Packets&, std::vector<b::Bytes>&) {}, {}},
        {"one packet dropped",
         [&](Packets& ps, std::vector<b::Bytes>&) { ps.erase(ps.begin() + long(payload_packet(ps, 5000, video))); },
         {{"continuity", 1}}},
        {"a run of 40 packets dropped",
         [&](Packets& ps, std::vector<b::Bytes>&) {
             size_t at = payload_packet(ps, 5000, audio);
             for (int n = 0; n < 3; ++n) ps.erase(ps.begin() + long(payload_packet(ps, at, audio)));
         },
         {{"continuity", 1}}},
        {"a packet repeated once, another twice",
         [&](Packets& ps, std::vector<b::Bytes>&) {
             size_t a = payload_packet(ps, 4000, video);
             ps.insert(ps.begin() + long(a) + 1, ps[a]);
             size_t v = payload_packet(ps, 8000, audio);
             ps.insert(ps.begin() + long(v) + 1, 2, ps[v]);
         },
         {{"continuity", 1}}},
        {"a dropped packet behind which the discontinuity indicator is set",
         [&](Packets& ps, std::vector<b::Bytes>&) {
             size_t k = 5000;
             while (!(pid_of(ps[k]) == video && has_payload(ps[k]) && (ps[k][3] & 0x20) && ps[k][4] > 0)) ++k;
             ps[k][5] |= 0x80;
             size_t j = k - 1;
             while (!(pid_of(ps[j]) == video && has_payload(ps[j]))) --j;
             ps.erase(ps.begin() + long(j));
         },
         {}},
        {"transport errors flagged",
         [&](Packets& ps, std::vector<b::Bytes>&) {
             ps[payload_packet(ps, 3000, video)][1] |= 0x80;
             ps[payload_packet(ps, 9000, audio)][1] |= 0x80;
         },
         {{"transport_error", 2}}},
        {"garbage bytes between packets",
         [&](Packets& ps, std::vector<b::Bytes>& parts) {
             parts = {b::pack(ps)};
             b::insert_bytes(parts[0], 6000 * 188, 100, 0xFF);
         },
         {{"sync", 1}}, 6000 * 188},
        {"a sync byte damaged",
         [&](Packets& ps, std::vector<b::Bytes>&) {
             ps[payload_packet(ps, 7000, video)][0] = 0x00;
         },
         {{"sync", 1}, {"continuity", 1}}},
        {"last packet cut short",
         [&](Packets& ps, std::vector<b::Bytes>& parts) {
             parts = {b::pack(ps)};
             parts[0].resize(parts[0].size() - 100);
         },
         {{"partial_packet", 1}}},
        {"a PAT with a wrong CRC",
         [&](Packets& ps, std::vector<b::Bytes>&) {
             for (size_t i = 5000; i < ps.size(); ++i)
                 if (pid_of(ps[i]) == 0) { ps[i][16] ^= 0x01; break; }
         },
         {{"crc", 1}}},
        {"400 packets (200 ms) lost in the middle",  // the PCR jumps; the counters too, unless by 16
         [&](Packets& ps, std::vector<b::Bytes>&) {
             ps.erase(ps.begin() + 8000, ps.begin() + 8400);
         },
         {{"pcr_gap", 1}, {"continuity", any}}},
        {"two parts that join well",
         [&](Packets& ps, std::vector<b::Bytes>& parts) {
             parts = {b::pack(Packets(ps.begin(), ps.begin() + 9000)), b::pack(Packets(ps.begin() + 9000, ps.end()))};
         },
         {}},
        {"the second part repeats 300 packets",
         [&](Packets& ps, std::vector<b::Bytes>& parts) {
             parts = {b::pack(Packets(ps.begin(), ps.begin() + 9000)), b::pack(Packets(ps.begin() + 8700, ps.end()))};
         },
         {{"part_join", 1}, {"continuity", 2}}},
        {"1000 packets lost between the parts",  // 500 ms: video, audio, PAT and PMT lose packets
         [&](Packets& ps, std::vector<b::Bytes>& parts) {
             parts = {b::pack(Packets(ps.begin(), ps.begin() + 9000)), b::pack(Packets(ps.begin() + 10000, ps.end()))};
         },
         {{"part_join", 1}, {"continuity", 4}}},
    };
    for (const Damage& row : rows) {
        SCOPED_TRACE(row.name);
        t::TempDir dir;
        Packets ps = b::make_recording(receiver(20000));
        std::vector<b::Bytes> parts;
        row.apply(ps, parts);
        if (parts.empty()) parts = {b::pack(ps)};
        for (size_t i = 0; i < parts.size(); ++i)
            ASSERT_TRUE(t::write_file(dir.file(i == 0 ? "rec.ts" : "rec.ts" + std::to_string(i)), parts[i]));
        t::RunResult r = t::run_varnek({"-check", "-json", "rec.ts"}, dir.path());
        Json o = Json::parse(r.out, nullptr, false);
        ASSERT_FALSE(o.is_discarded()) << r.out;
        const Json& check = o["check"];
        for (auto& [kind, count] : check["counts"].items()) {
            auto want = row.counts.find(kind);
            if (want != row.counts.end() && want->second == any) continue;
            EXPECT_EQ(count, want == row.counts.end() ? 0 : want->second) << kind;
        }
        EXPECT_EQ(o["scan"], "check");
        EXPECT_EQ(check["verdict"], row.counts.empty() ? "intact" : "damaged");
        EXPECT_EQ(r.exit_code, row.counts.empty() ? 0 : 1);
        if (row.first_offset != 0) {
            EXPECT_EQ(check["problems"][0]["offset"], row.first_offset);
        }
        // Every whole packet in sync is counted, in every part.
        if (row.counts.count("sync") == 0 && row.counts.count("partial_packet") == 0) {
            uint64_t bytes = 0;
            for (const b::Bytes& part : parts) bytes += part.size();
            EXPECT_EQ(check["packets"], bytes / 188);
        }
    }
}

TEST(Check, TextLinesVerdictsAndExitStatus) {
    t::TempDir dir;
    b::Recipe bare;  // no header record, no PAT, no PMT, 10 s
    bare.body_packets = 20000;
    ASSERT_TRUE(b::write_recording(receiver(20000), dir.file("good.ts")).ok);
    ASSERT_TRUE(b::write_recording(bare, dir.file("bare.ts")).ok);
    b::Recipe short_one = receiver(4000);  // the header record says 10 s, the PCRs span 2 s
    ASSERT_TRUE(b::write_recording(short_one, dir.file("short.ts")).ok);

    t::RunResult r = t::run_varnek({"-check", "good.ts", "bare.ts", "short.ts", "-fixqbx"}, dir.path());
    EXPECT_EQ(r.out,
              "'good.ts': intact (20006 packets, 00:00:09)\n"
              "'bare.ts': no_header: no QBXH record\n"
              "'bare.ts': no_pat: no PAT\n"
              "'bare.ts': no_pmt: no PMT\n"
              "'bare.ts': damaged: 1 no_header, 1 no_pat, 1 no_pmt\n"
              "'short.ts': duration: the header record says 00:00:10, the PCRs span 00:00:01\n"
              "'short.ts': damaged: 1 duration\n");
    EXPECT_EQ(r.exit_code, 1);
    // -check only reads.
    EXPECT_EQ(r.err, "Note: -check only reads: -fixqbx, -fixpat, -get: and -put: are not carried out\n");
    EXPECT_EQ(t::read_file(dir.file("bare.ts")), b::recording_bytes(bare));

    r = t::run_varnek({"-check", "missing.ts", "bare.ts"}, dir.path());
    EXPECT_EQ(r.exit_code, 2);  // unreadable wins over damaged
    EXPECT_EQ(r.err, "Error: Can't open 'missing.ts' for reading!\n");
}

}  // namespace
