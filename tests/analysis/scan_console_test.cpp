// The scanner's reading of head, tail and part files, and the PID
// statistics, as the progress line, the sync messages and the PID list show
// them. Every recording here runs at one packet per 10 ms, PCR and video PES
// every 40 ms on PID 0x100, so a block's first and last clocks follow from
// the packet numbers.
#include <cstdio>

#include "analysis/console_case.h"

namespace varnek::test {
namespace {

// PAT, a PMT on 0x64 with video 0x100 (also the PCR PID), then the body.
build::Recipe simple(uint64_t packets, uint16_t pmt_pcr_pid = 0x100) {
    build::Recipe r;
    r.streams = {build::video_stream()};
    r.head = {build::pat_packet({{1, 0x64}}), video_pmt(pmt_pcr_pid)};
    r.body_packets = packets - r.head.size();
    r.bitrate_bps = 150400;  // one packet every 10 ms
    r.repeat_interval_ms = 0;
    return r;
}

std::function<void(const TempDir&)> recording(build::Recipe r) {
    return [r](const TempDir& dir) { ASSERT_TRUE(build::write_recording(r, dir.file("rec.ts")).ok); };
}

TEST(ScannerConsole, HeadTailPartsAndSync) {
    build::Recipe damaged = simple(5000);
    damaged.sync_damage = {500 * 188};
    build::Recipe no_pcr = simple(3000);
    no_pcr.pcr_interval_ms = 0;
    build::Recipe early_pcr = simple(1500);  // a PCR in the first packet of the body only
    early_pcr.pcr_interval_ms = 20000;
    build::Recipe pcr_late = simple(2500);  // PCRs in body slots 0 and 1400 only
    pcr_late.pcr_interval_ms = 14000;
    build::Recipe before_jump = simple(5000);  // packet 996 fails the test, 997..999 are never tested
    before_jump.sync_damage = {998 * 188};
    build::Recipe wrap = simple(5000);  // the clocks pass 2^33 five seconds into the body
    wrap.pcr_start = (1ull << 33) - 5000 * 90;
    wrap.pts_start = wrap.pcr_start + 500 * 90;
    build::Recipe huge = simple(26600000);  // 5,000,800,000 bytes, PCR and PES every 80 packets
    huge.bitrate_bps = build::bitrate_for_packets_per_ms(2);
    huge.sync_damage = {(26600000ull - 500) * 188};
    build::Recipe parts = simple(1500);
    parts.part_packets = 500;
    auto pat_then_nulls = [](size_t n) {
        return [n](const TempDir& dir) {
            write(dir, "rec.ts", n == 0 ? Packets{} : Packets{build::pat_packet({{1, 0x64}})} + nulls(n - 1));
        };
    };
    const ConsoleCase cases[] = {
        {"scan_clean_5000.out", recording(simple(5000)), {"rec.ts"}},
        // Packets 498..500 fail the three-packet test; 501 is the next good one.
        {"scan_sync_damage.out", recording(damaged), {"rec.ts"}, "UTC",
         "\nSync lost at 00016DB8 ==> ReSync at 00016FEC\n"},
        {"scan_sync_before_jump.out", recording(before_jump), {"rec.ts"}, "UTC",
         "\nSync lost at 0002DB70 ==> ReSync at 000B7980\n"},
        {"scan_sparse_5g.out",
         [&](const TempDir& dir) {
             ASSERT_TRUE(build::write_sparse_recording(huge, dir.file("rec.ts"), 26600000ull * 188, 998, 1000).ok);
         },
         {"rec.ts"}, "UTC", "\nSync lost at 12A10B658 ==> ReSync at 12A10B88C\n"},
        {"scan_clock_wrap.out", recording(wrap), {"rec.ts"}},
        {"scan_no_packets.out", pat_then_nulls(0), {"rec.ts"}},
        {"scan_three_packets.out", pat_then_nulls(3), {"rec.ts"}},
        {"scan_one_packet.out", pat_then_nulls(4), {"rec.ts"}},
        {"scan_three_parts.out", recording(parts), {"rec.ts"}},
        {"scan_three_parts_all.out", recording(parts), {"rec.ts", "-all"}},
        {"scan_parts_gap.out",
         [&](const TempDir& dir) {
             recording(parts)(dir);
             ASSERT_EQ(std::rename(dir.file("rec.ts2").c_str(), dir.file("rec.ts3").c_str()), 0);
         },
         {"rec.ts"}},
        // The PMT names another PCR PID, so that -all prints no rate lines.
        {"scan_all_10000.out", recording(simple(10000, 0x200)), {"-all", "rec.ts"}},
        {"scan_no_pcr.out", recording(no_pcr), {"rec.ts"}},
        {"scan_tail_without_pcr.out", recording(early_pcr), {"rec.ts"}},
        // The last block has PES starts, the one before it the PCR.
        {"scan_tail_steps_back.out", recording(pcr_late), {"rec.ts"}},
        // 100 bytes in front of packet 500: the next block starts behind them.
        {"scan_all_misaligned.out",
         [](const TempDir& dir) {
             build::Bytes bytes = build::recording_bytes(simple(10000, 0x200));
             build::insert_bytes(bytes, 500 * 188, 100);
             ASSERT_TRUE(build::write_bytes(dir.file("rec.ts"), bytes));
         },
         {"-all", "rec.ts"}, "UTC", "\nSync lost at 00016DB8 ==> ReSync at 00016F94\n"},
    };
    for (const ConsoleCase& c : cases) check_console_case(c);
}

TEST(PidStatsConsole, RowsJumpsAndRates) {
    Packets forty;
    for (int round = 0; round < 2; ++round)
        for (uint16_t i = 0; i < 40; ++i) {
            build::PacketFields f;
            f.pid = uint16_t(0x20 + i);
            // The 40th PID finds no row: its PCR is not followed, but it is seen.
            forty.push_back(i == 39 ? pcr_only(f.pid, 5000) : build::make_packet(f));
        }
    // Per PID one pair of clocks: just over and just under the jump limits.
    auto jumps = rec({pcr_only(0x100, 10000), pcr_only(0x101, 10000), pes(0x102, 10000), pes(0x103, 10000),
                      pes(0x104, 20000), pcr_only(0x100, 12000), pcr_only(0x101, 11999), pes(0x102, 20001),
                      pes(0x103, 20000), pes(0x104, -1), pes(0x104, 20040)});
    // The 1000th packet counted on the PCR PID (file packet 1003, since
    // 997..999 are only looked ahead to) carries a PCR: the rate lines.
    Packets rates{video_pmt(), pes(0x100, 20000, 10000)};
    build::PacketFields data;
    data.pid = 0x100;
    for (unsigned i = 2; i < 1003; ++i) rates.push_back(i == 500 ? pes(0x100, 20300) : build::make_packet(data));
    rates.push_back(pcr_only(0x100, 10500));
    const ConsoleCase cases[] = {
        {"pid_forty.out", rec(forty), {"rec.ts"}},
        {"pid_rate_lines.out", rec(rates), {"-all", "rec.ts"}},
        {"pid_jumps_all.out", jumps, {"rec.ts", "-all"}},
        {"pid_jumps.out", jumps, {"rec.ts"}},
    };
    for (const ConsoleCase& c : cases) check_console_case(c);
}

}  // namespace
}  // namespace varnek::test
