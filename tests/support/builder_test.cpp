// The recording builder against values worked out by hand.
#include "builder.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cstring>

namespace build = varnek::build;
using varnek::test::TempDir;

namespace {

build::Bytes bytes_of(const build::Packet& p, size_t from, size_t count) {
    return build::Bytes(p.begin() + static_cast<std::ptrdiff_t>(from),
                        p.begin() + static_cast<std::ptrdiff_t>(from + count));
}

uint16_t pid_of(const build::Packet& p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }

// Plain readers of the fields, written out bit by bit for these tests.
bool has_pcr(const build::Packet& p) { return (p[3] & 0x20) && p[4] > 5 && (p[5] & 0x10); }
uint64_t pcr_of(const build::Packet& p) {
    return (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) | (uint64_t(p[8]) << 9) | (uint64_t(p[9]) << 1) |
           (p[10] >> 7);
}
size_t payload_at(const build::Packet& p) { return (p[3] & 0x20) ? 5 + p[4] : 4; }
bool is_pes_start(const build::Packet& p) {
    size_t o = payload_at(p);
    return (p[1] & 0x40) && (p[3] & 0x10) && o + 3 <= 188 && p[o] == 0 && p[o + 1] == 0 && p[o + 2] == 1;
}
uint64_t pts_of(const build::Packet& p) {
    size_t o = payload_at(p) + 9;
    return (uint64_t((p[o] >> 1) & 7) << 30) | (uint64_t(p[o + 1]) << 22) | (uint64_t(p[o + 2] >> 1) << 15) |
           (uint64_t(p[o + 3]) << 7) | (p[o + 4] >> 1);
}

}  // namespace

TEST(BuilderCrc, CheckValueOfTheNineDigits) {
    const char* digits = "123456789";
    EXPECT_EQ(build::crc32_mpeg2(reinterpret_cast<const uint8_t*>(digits), 9), 0x0376E6E7u);
}

TEST(BuilderCrc, WholeSectionWithItsCrcGivesZero) {
    build::Bytes pat = build::pat_section(build::PatFields{});
    EXPECT_EQ(build::crc32_mpeg2(pat), 0u);

    build::PmtFields pmt;
    pmt.streams = {{0x02, 0x100, {}, -1}, {0x03, 0x101, {0x0A, 0x04, 'd', 'e', 'u', 0x00}, -1}};
    EXPECT_EQ(build::crc32_mpeg2(build::pmt_section(pmt)), 0u);
}

TEST(BuilderSections, SingleProgramPatByteForByte) {
    build::PatFields fields;
    fields.programs = {{1, 0x64}};
    fields.transport_stream_id = 0x0431;
    fields.version = 20;
    build::Packet p = build::pat_packet(fields);

    const build::Bytes head{0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x0D, 0x04, 0x31, 0xE9,
                            0x00, 0x00, 0x00, 0x01, 0xE0, 0x64, 0x09, 0xB5, 0xDC, 0x88};
    EXPECT_EQ(bytes_of(p, 0, 21), head);
    for (size_t i = 21; i < 188; ++i) EXPECT_EQ(p[i], 0xFF) << "byte " << i;
}

TEST(BuilderSections, PmtFieldsAndTweaks) {
    build::PmtFields fields;
    fields.pid = 0x64;
    fields.program_number = 1;
    fields.pcr_pid = 0x100;
    fields.streams = {{0x02, 0x100, {}, -1}, {0x03, 0x101, {}, -1}};
    build::Packet p = build::pmt_packet(fields);
    const build::Bytes head{0x47, 0x40, 0x64, 0x10, 0x00,         // header, pointer field
                            0x02, 0xB0, 0x17,                     // table id 2, length 23
                            0x00, 0x01, 0xC1, 0x00, 0x00,         // program 1, version 0
                            0xE1, 0x00, 0xF0, 0x00,               // PCR PID 0x100, no program info
                            0x02, 0xE1, 0x00, 0xF0, 0x00,         // video 0x100
                            0x03, 0xE1, 0x01, 0xF0, 0x00};        // audio 0x101
    EXPECT_EQ(bytes_of(p, 0, head.size()), head);
    EXPECT_EQ(p[5 + 3 + 23], 0xFF);  // behind the CRC

    fields.tweaks.section_length = 0x40D;
    fields.tweaks.fix_crc = false;
    fields.tweaks.crc_value = 0x01020304;
    p = build::pmt_packet(fields);
    EXPECT_EQ(p[6], 0xB4);
    EXPECT_EQ(p[7], 0x0D);
    EXPECT_EQ(bytes_of(p, 27, 4), (build::Bytes{1, 2, 3, 4}));
}

TEST(BuilderClock, PtsOfTheLargestValue) {
    auto b = build::pts_bytes((1ull << 33) - 1);
    // '0010' 111 1 | 8 x 1 | 7 x 1 1 | 8 x 1 | 7 x 1 1
    EXPECT_EQ(b, (std::array<uint8_t, 5>{0x2F, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(BuilderClock, PtsOfAMixedValue) {
    // 0x123456789: bits 32..30 = 100, 29..15 = 0x468A, 14..0 = 0x6789.
    auto b = build::pts_bytes(0x123456789ull);
    EXPECT_EQ(b, (std::array<uint8_t, 5>{0x29, 0x8D, 0x15, 0xCF, 0x13}));
}

TEST(BuilderClock, PcrBytes) {
    // 900,000 ticks (10 s) = 0x0DBBA0.
    EXPECT_EQ(build::pcr_bytes(900000), (std::array<uint8_t, 6>{0x00, 0x06, 0xDD, 0xD0, 0x7E, 0x00}));
    EXPECT_EQ(build::pcr_bytes((1ull << 33) - 1), (std::array<uint8_t, 6>{0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x00}));
}

TEST(BuilderPackets, AdaptationFieldWithPcr) {
    build::PacketFields fields;
    fields.pid = 0x100;
    fields.continuity = 5;
    fields.layout = build::Layout::adaptation_and_payload;
    fields.with_pcr = true;
    fields.pcr_base = 900000;
    build::Packet p = build::make_packet(fields);
    EXPECT_EQ(bytes_of(p, 0, 12),
              (build::Bytes{0x47, 0x01, 0x00, 0x35, 0x07, 0x10, 0x00, 0x06, 0xDD, 0xD0, 0x7E, 0x00}));

    fields.layout = build::Layout::adaptation_only;
    fields.with_pcr = false;
    fields.raw_adaptation_length = 200;
    p = build::make_packet(fields);
    EXPECT_EQ(p[3], 0x25);
    EXPECT_EQ(p[4], 200);
    EXPECT_EQ(p[5], 0x00);
}

TEST(BuilderPackets, PesHeaderWithPtsAndAClearedMarker) {
    build::PesFields fields;
    fields.pid = 0x101;
    fields.stream_id = build::audio_stream_id;
    fields.pts = 0x123456789ull;
    build::Packet p = build::pes_packet(fields);
    // 178 bytes follow the length field.
    EXPECT_EQ(bytes_of(p, 0, 18), (build::Bytes{0x47, 0x41, 0x01, 0x10, 0x00, 0x00, 0x01, 0xC0, 0x00, 0xB2,
                                               0x80, 0x80, 0x05, 0x29, 0x8D, 0x15, 0xCF, 0x13}));
    fields.cleared_marker = 1;
    EXPECT_EQ(build::pes_packet(fields)[15], 0x14);
    fields.with_pts = false;
    EXPECT_EQ(bytes_of(build::pes_packet(fields), 11, 2), (build::Bytes{0x00, 0x00}));
}

TEST(BuilderQbx, TextAndHeaderRecord) {
    build::Packet t = build::qbx_packet("CHNM", "Varnek Test HD");
    EXPECT_EQ(bytes_of(t, 0, 8), (build::Bytes{0x47, 0x41, 0xFF, 0x00, 'C', 'H', 'N', 'M'}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.data() + 13)), "Varnek Test HD");

    build::QbxhFields f;
    f.program_number = 0x1234;
    f.duration_s = 5400;  // 0x1518
    f.start_minute = 15;
    f.start_hour = 20;
    f.mjd = 54832;        // 0xD630
    f.video_pid = 0x100;
    f.audio_pid = 0x101;
    f.pcr_pid = 0x100;
    f.pmt_pid = 0x64;
    f.streams = {{0x02, 0x100}, {0xE2, 0x64}};
    build::Packet r = build::qbxh_packet(f);
    EXPECT_EQ(bytes_of(r, 0, 10), (build::Bytes{0x47, 0x41, 0xFF, 0x00, 'Q', 'B', 'X', 'H', 0x68, 0x01}));
    EXPECT_EQ(bytes_of(r, 16, 2), (build::Bytes{0x34, 0x12}));
    EXPECT_EQ(bytes_of(r, 20, 2), (build::Bytes{0x06, 0x10}));
    EXPECT_EQ(bytes_of(r, 24, 2), (build::Bytes{0x18, 0x15}));
    EXPECT_EQ(bytes_of(r, 28, 4), (build::Bytes{15, 20, 0x30, 0xD6}));
    EXPECT_EQ(bytes_of(r, 40, 6), (build::Bytes{0x00, 0x01, 0x01, 0x01, 0x00, 0x01}));
    EXPECT_EQ(bytes_of(r, 47, 2), (build::Bytes{0x02, 0x03}));
    EXPECT_EQ(bytes_of(r, 50, 2), (build::Bytes{0x64, 0x00}));
    EXPECT_EQ(r[54], 0x02);
    EXPECT_EQ(bytes_of(r, 56, 12), (build::Bytes{0x02, 0, 0x00, 0x01, 0xE2, 0, 0x64, 0x00, 0xFF, 0xFF, 0xFF, 0x1F}));
    EXPECT_EQ(bytes_of(r, 116, 4), (build::Bytes{0xFF, 0xFF, 0xFF, 0x1F}));
    EXPECT_EQ(r[120], 0x00);
}

TEST(BuilderDates, ModifiedJulianDates) {
    EXPECT_EQ(build::mjd_from_date(2009, 1, 1), 54832);
    EXPECT_EQ(build::mjd_from_date(1970, 1, 1), 40587);
    EXPECT_EQ(build::mjd_from_date(2026, 11, 28), 61372);  // 6209 + 331 days later
}

TEST(BuilderRecording, ClocksAndTablesFollowTheRecipe) {
    build::Recipe r;
    build::Packet pat = build::pat_packet({{1, 0x64}});
    build::Packet pmt = build::pmt_packet(build::pmt_for(r));
    r.head = {pat, pmt};
    r.repeated = {pat, pmt};
    r.body_packets = 5000;  // 2 packets per ms: 2.5 s
    r.pcr_interval_ms = 40;
    r.sync_damage = {2500 * 188};
    std::vector<build::Packet> packets = build::make_recording(r);
    ASSERT_EQ(packets.size(), 5002u);

    std::vector<uint64_t> pcrs, video_pts;
    size_t audio_starts = 0, pats = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        const build::Packet& p = packets[i];
        if (i == 2500) {
            EXPECT_EQ(p[0], 0x00);
            continue;
        }
        ASSERT_EQ(p[0], 0x47) << i;
        if (pid_of(p) == 0x100 && has_pcr(p)) pcrs.push_back(pcr_of(p));
        if (pid_of(p) == 0x100 && is_pes_start(p)) video_pts.push_back(pts_of(p));
        if (pid_of(p) == 0x101 && is_pes_start(p)) ++audio_starts;
        if (pid_of(p) == 0) ++pats;
    }
    // Body times 0, 40, ..., 2480 ms; PCR from 10 s, PTS from 10.5 s.
    ASSERT_EQ(pcrs.size(), 63u);
    EXPECT_EQ(pcrs.front(), 900000u);
    EXPECT_EQ(pcrs.back(), 900000u + 2480 * 90);
    ASSERT_EQ(video_pts.size(), 63u);
    EXPECT_EQ(video_pts.front(), 945000u);
    EXPECT_EQ(video_pts[1] - video_pts[0], 40u * 90);
    EXPECT_EQ(audio_starts, 105u);  // 0, 24, ..., 2496 ms
    EXPECT_EQ(pats, 1u + 25u);      // the head's, then every 100 ms
}

TEST(BuilderRecording, PartFilesAndTrailingBytes) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    build::Recipe r;
    r.body_packets = 2500;
    r.part_packets = 1000;
    r.trailing_bytes = 100;
    build::WriteResult w = build::write_recording(r, dir.file("rec.ts"));
    ASSERT_TRUE(w.ok) << w.error;
    ASSERT_EQ(w.files.size(), 3u);
    EXPECT_EQ(varnek::test::file_size(dir.file("rec.ts")), 188000);
    EXPECT_EQ(varnek::test::file_size(dir.file("rec.ts1")), 188000);
    EXPECT_EQ(varnek::test::file_size(dir.file("rec.ts2")), 500 * 188 + 100);
    EXPECT_FALSE(varnek::test::file_exists(dir.file("rec.ts3")));

    build::Bytes all = build::recording_bytes(r);
    build::Bytes joined = varnek::test::read_file(dir.file("rec.ts"));
    for (const char* part : {"rec.ts1", "rec.ts2"}) {
        build::Bytes b = varnek::test::read_file(dir.file(part));
        joined.insert(joined.end(), b.begin(), b.end());
    }
    EXPECT_TRUE(joined == all);
    EXPECT_EQ(all[2500 * 188], 0x47);  // the partial packet begins like one
}

TEST(BuilderRecording, SparseFileKeepsTheTimesOfTheFullLength) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    build::Recipe r;
    r.head = {build::qbx_packet("CHNM", "x")};
    const uint64_t packets = 1000000;  // 500 s at 2 packets per ms
    build::WriteResult w =
        build::write_sparse_recording(r, dir.file("big.ts"), packets * 188, 2000, 2000);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(varnek::test::file_size(dir.file("big.ts")), int64_t(packets * 188));

    FILE* f = std::fopen(dir.file("big.ts").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    build::Packet p;
    ASSERT_EQ(std::fread(p.data(), 1, 188, f), 188u);
    EXPECT_EQ(p[4], 'C');
    ASSERT_EQ(fseeko(f, off_t(500000) * 188, SEEK_SET), 0);
    ASSERT_EQ(std::fread(p.data(), 1, 188, f), 188u);
    EXPECT_EQ(p[0], 0x00);  // the hole
    // The last PCR lies in the last 40 ms of the 500 s body.
    uint64_t last_pcr = 0;
    ASSERT_EQ(fseeko(f, off_t(packets - 2000) * 188, SEEK_SET), 0);
    while (std::fread(p.data(), 1, 188, f) == 188) {
        ASSERT_EQ(p[0], 0x47);
        if (has_pcr(p)) last_pcr = pcr_of(p);
    }
    std::fclose(f);
    uint64_t body_end = 900000 + (packets - 1) * 45;
    EXPECT_LE(last_pcr, body_end);
    EXPECT_GT(last_pcr + 40 * 90, body_end);
}

TEST(SampleProgram, WritesTwoPartFilesOfThreeMinutes) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    varnek::test::RunResult run = varnek::test::run_program(VARNEK_SAMPLE_BINARY, {dir.path()});
    ASSERT_TRUE(run.started) << run.err;
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");

    int64_t first = varnek::test::file_size(dir.file("sample.ts"));
    int64_t second = varnek::test::file_size(dir.file("sample.ts1"));
    EXPECT_EQ(first % 188, 0);
    EXPECT_EQ(second % 188, 0);
    EXPECT_LE(std::abs(first - second), 188);
    EXPECT_GT(first + second, 20 * 1000 * 1000);

    build::Bytes head = varnek::test::read_file(dir.file("sample.ts"));
    ASSERT_GE(head.size(), 6u * 188);
    EXPECT_EQ(std::memcmp(head.data(), "\x47\x41\xFF\x00QBXH", 8), 0);
    EXPECT_EQ(head[24] | (head[25] << 8), 180);
    EXPECT_EQ(std::memcmp(head.data() + 3 * 188 + 4, "CHNM", 4), 0);
    EXPECT_EQ(head[4 * 188 + 1], 0x40);  // PAT
    EXPECT_EQ(head[4 * 188 + 2], 0x00);
    EXPECT_EQ(head[5 * 188 + 2], 0x64);  // PMT
}
