// Packet and section readers on packets written by the builder.
#include "ts/packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "builder.h"

namespace build = varnek::build;

namespace {

// Exactly 188 bytes on the heap, so that the sanitizers see any read past the end.
using Exact = std::vector<uint8_t>;
Exact exact(const build::Packet& p) { return Exact(p.begin(), p.end()); }

build::Packet pes(bool pts = true, int cleared = -1, uint64_t ticks = 90 * 1234, bool pcr = false) {
    build::PesFields f;
    f.with_pts = pts;
    f.cleared_marker = cleared;
    f.pts = ticks;
    f.with_pcr = pcr;
    f.pcr_base = 90 * 777;
    return build::pes_packet(f);
}

build::Packet adaptation(int length, uint64_t pcr_ticks) {
    build::PacketFields f;
    f.pid = 0x1234;
    f.layout = build::Layout::adaptation_only;
    f.adaptation_length = length;
    f.with_pcr = true;
    f.pcr_base = pcr_ticks;
    return build::make_packet(f);
}

TEST(Packet, HeaderClockAndPesFields) {
    const uint64_t top = (1ull << 33) - 1;
    build::Packet no_sync = pes(true, -1, 90 * 1234, true), no_pusi = pes();
    no_sync[0] = 0x00;
    no_pusi[1] &= ~0x40;
    const struct { const char* name; build::Packet p; uint16_t pid; bool pcr; uint32_t pcr_ms; unsigned pes; uint32_t pts_ms; } rows[] = {
        {"PES with PTS", pes(), 0x100, false, 0, 4, 1234},
        {"PES behind a PCR", pes(true, -1, 90 * 1234, true), 0x100, true, 777, 12, 1234},
        {"no sync byte", no_sync, 0xFFFF, false, 0, 0, 0},
        {"no PUSI", no_pusi, 0x100, false, 0, 0, 0},
        {"PES without PTS flag", pes(false), 0x100, false, 0, 4, 0},
        {"first marker clear", pes(true, 0), 0x100, false, 0, 4, 0},
        {"second marker clear", pes(true, 1), 0x100, false, 0, 4, 0},
        {"third marker clear", pes(true, 2), 0x100, false, 0, 4, 0},
        {"PTS of 2^33-1 ticks", pes(true, -1, top), 0x100, false, 0, 4, 95443717},
        {"PTS with bit 32 only", pes(true, -1, 1ull << 32), 0x100, false, 0, 4, 47721858},
        {"PCR flag, field of 5", adaptation(5, 90 * 5000), 0x1234, false, 0, 0, 0},
        {"PCR flag, field of 6", adaptation(6, 90 * 5000), 0x1234, true, 5000, 0, 0},
        {"PCR of 2^33-1 ticks", adaptation(7, top), 0x1234, true, 95443717, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Exact p = exact(row.p);
        EXPECT_EQ(varnek::packet_pid(p.data()), row.pid);
        EXPECT_EQ(varnek::has_pcr(p.data()), row.pcr);
        EXPECT_EQ(varnek::pcr_ms(p.data()), row.pcr_ms);
        EXPECT_EQ(varnek::pes_start_offset(p.data()), row.pes);
        EXPECT_EQ(varnek::pts_ms(p.data()), row.pts_ms);
    }
}

TEST(Packet, PmtStreams) {
    std::vector<build::PmtStream> sixteen;
    for (uint16_t i = 0; i < 16; ++i) sixteen.push_back({uint8_t(0x10 + i), uint16_t(0x1000 + i), {}, -1});
    const struct { const char* name; build::Bytes info; std::vector<build::PmtStream> streams; } rows[] = {
        {"three streams", {}, {{0x02, 0x100, {}, -1}, {0x03, 0x1FFE, {}, -1}, {0x06, 0x20, {}, -1}}},
        {"descriptors skipped", {9, 4, 1, 2, 3, 4}, {{0x1B, 0x200, {0x0A, 3, 'd', 'e', 'u'}, -1}, {0x81, 0x201, {}, -1}}},
        {"sixteen streams", {}, sixteen},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        build::PmtFields f;
        f.program_descriptors = row.info;
        f.streams = row.streams;
        const Exact p = exact(build::pmt_packet(f));
        varnek::StreamList list;
        list.fill({77, 77});
        varnek::pmt_streams(p.data(), list);
        for (size_t i = 0; i < list.size(); ++i) {
            const bool used = i < row.streams.size();
            EXPECT_EQ(list[i].pid, used ? row.streams[i].pid : 0) << i;
            EXPECT_EQ(list[i].type, used ? row.streams[i].type : 0) << i;
        }
    }
}

TEST(Packet, PatSectionCrcAndComparison) {
    const build::Packet pat = build::pat_packet({{1, 0x64}});
    const Exact p = exact(pat);
    EXPECT_EQ(varnek::section_length(p.data()), 13u);
    // The section starts at byte 5; its CRC field is bytes 17..20, big-endian.
    EXPECT_EQ(varnek::section_crc(p.data()), uint32_t(p[17]) << 24 | p[18] << 16 | p[19] << 8 | p[20]);
    EXPECT_EQ(varnek::mpeg_crc32(p.data() + 5, 16), 0u);
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(varnek::mpeg_crc32(digits, 9), 0x0376E6E7u);
    for (unsigned byte : {0u, 1u, 2u, 3u, 4u, 100u, 187u}) {
        build::Packet other = pat;
        other[byte] ^= 0x0F;
        EXPECT_EQ(varnek::packets_differ(pat.data(), other.data()), byte >= 4) << byte;
    }
}

// Every adaptation field length moves the payload towards and past the
// packet's end; a field that does not lie wholly inside reads as absent.
TEST(Packet, ReadersStayInsideThePacket) {
    build::PmtFields pmt;
    pmt.pcr_pid = 0x0123;
    for (uint16_t i = 0; i < 30; ++i) pmt.streams.push_back({0x02, uint16_t(0x100 + i), {}, -1});
    build::PesFields pes_fields;
    pes_fields.pts = 90 * 1000;
    for (int claimed : {-1, 30, 1023}) {  // section length: the real one, short, far past the end
        pmt.tweaks.section_length = claimed;
        build::Bytes section = build::pmt_section(pmt);
        section.insert(section.begin(), 0x00);  // pointer field
        for (unsigned length = 0; length < 256; ++length) {
            SCOPED_TRACE(std::to_string(claimed) + " / " + std::to_string(length));
            auto packet = [&](build::Bytes payload) {
                build::PacketFields f;
                f.pusi = true;
                f.layout = build::Layout::adaptation_and_payload;
                f.adaptation_length = f.raw_adaptation_length = int(length);
                f.payload = std::move(payload);
                return exact(build::make_packet(f));
            };
            const Exact s = packet(section), e = packet(build::pes_header(pes_fields));
            const unsigned o = length + 5;
            auto inside = [](unsigned end) { return end <= 188; };  // bytes before end lie in the packet
            EXPECT_EQ(varnek::payload_offset(s.data()), o);
            EXPECT_EQ(varnek::pes_start_offset(e.data()), inside(o + 3) ? o : 0);
            EXPECT_EQ(varnek::pts_ms(e.data()), inside(o + 14) ? 1000u : 0u);
            EXPECT_EQ(varnek::pes_start_offset(s.data()), 0u);
            const unsigned len = inside(o + 4) ? (claimed < 0 ? 9 + 30 * 5 + 4 : unsigned(claimed)) : 0;
            EXPECT_EQ(varnek::section_length(s.data()), len);
            EXPECT_EQ(varnek::pmt_program_number(s.data()), inside(o + 6) ? 1 : 0);
            EXPECT_EQ(varnek::pmt_pcr_pid(s.data()), inside(o + 11) ? 0x0123 : 0);
            EXPECT_EQ(varnek::is_pmt_section(s.data()), inside(o + 13));
            // Entry n: bytes o + 13 + 5n .. o + 17 + 5n, starting in front of the CRC.
            unsigned rows = 0;
            while (inside(o + 13) && rows < 15 && 12 + 5 * rows + 1 < len && inside(o + 18 + 5 * rows)) ++rows;
            varnek::StreamList list;
            varnek::pmt_streams(s.data(), list);
            for (unsigned i = 0; i < 15; ++i) EXPECT_EQ(list[i].pid, i < rows ? 0x100 + i : 0) << i;
            const unsigned counted = len == 0 ? 0 : std::min(len - 1, 187 - o);
            EXPECT_EQ(varnek::section_crc(s.data()), build::crc32_mpeg2(s.data() + (counted ? o + 1 : 0), counted));
        }
    }
}

}  // namespace
