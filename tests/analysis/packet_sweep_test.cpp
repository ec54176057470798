// In-process sweeps over the packet analysis and the scanner: every
// adaptation field length in front of a PMT, a PES header and a PAT, and a
// file cut at, just behind and just before every packet boundary. Under the
// sanitizers they also show that nothing is read beyond a packet or a block.
#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "analysis/report.h"
#include "analysis/scanner.h"
#include "builder.h"
#include "support/console_capture.h"
#include "support/programs.h"

namespace varnek {
namespace {

namespace build = varnek::build;

// A packet with PUSI and an adaptation field whose length byte is length
// (the field itself ends at the packet's end from 184 on), then payload.
build::Packet behind_adaptation(uint16_t pid, int length, const build::Bytes& payload) {
    build::PacketFields f;
    f.pid = pid;
    f.pusi = true;
    f.layout = build::Layout::adaptation_and_payload;
    f.adaptation_length = std::min(length, 183);
    f.raw_adaptation_length = length;
    f.payload = payload;
    return build::make_packet(f);
}

TEST(AnalysisSweep, EveryAdaptationFieldLength) {
    build::PmtFields pmt;
    pmt.streams = {{0x02, 0x100, {}, -1}, {0x03, 0x101, {}, -1}};
    build::Bytes pmt_payload{0x00};
    build::Bytes section = build::pmt_section(pmt);
    pmt_payload.insert(pmt_payload.end(), section.begin(), section.end());
    build::PatFields pat;
    pat.tweaks.section_length = 0x3FF;  // promises far more programs than the packet holds
    build::Bytes pat_payload{0x00};
    section = build::pat_section(pat);
    pat_payload.insert(pat_payload.end(), section.begin(), section.end());
    build::PesFields pes;
    pes.pts = 20000 * 90;
    build::Bytes pes_payload = build::pes_header(pes);

    RunOptions options;
    options.progress = false;
    options.hex = true;
    for (int length = 0; length < 256; ++length) {
        SCOPED_TRACE(length);
        build::Packet packets[] = {behind_adaptation(0x64, length, pmt_payload),
                                   behind_adaptation(0x100, length, pes_payload),
                                   behind_adaptation(0x000, length, pat_payload)};
        ScanState state;
        test::ConsoleCapture capture;
        for (unsigned i = 0; i < 3; ++i) analyse_packet(state, packets[i].data(), i * 188, options);
        // The PMT's fixed fields end at payload + 12 (payload = length + 5).
        EXPECT_EQ(bool(state.stored_pmt), length + 5 + 12 <= 187);
        // Start code and PTS lie wholly inside the packet up to these lengths.
        if (length + 5 + 2 <= 187) {
            EXPECT_TRUE(state.seen_pes);
        }
        if (length + 5 + 13 <= 187) {
            EXPECT_EQ(state.pid_table.rows[1].first_pts, 20000u);
        }
        print_report(state, summarize(state), options);
        EXPECT_NE(capture.out().find("\nPID-List\n"), std::string::npos);
    }
}

TEST(ScannerSweep, FileCutAtEachPacketBoundary) {
    test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const build::Bytes full = build::pack(std::vector<build::Packet>(6, build::null_packet()));
    RunOptions options;
    options.progress = false;
    for (size_t size = 0; size <= full.size(); size += (size % 188 == 1 ? 186 : 1))
        for (bool all : {false, true}) {
        SCOPED_TRACE(std::to_string(size) + (all ? " -all" : ""));
        options.all_packets = all;
        std::string name = dir.file("cut.ts");
        ASSERT_TRUE(build::write_bytes(name, build::Bytes(full.begin(), full.begin() + long(size))));
        InputFile* file = open_input(name.c_str());
        ASSERT_NE(file, nullptr);
        ScanState state;
        scan_recording(name.c_str(), file, options, state);
        // The last three whole packets are only looked ahead to.
        unsigned whole = unsigned(size / 188);
        EXPECT_EQ(state.pid_table.rows[0].count, whole > 3 ? whole - 3 : 0);
        }
}

}  // namespace
}  // namespace varnek
