// The scanner at its limits: thousands of part files, a file above 4 GiB,
// a sync loss in every block, a tail pass that steps back over the whole
// file, and files cut at every packet boundary. Offsets and markers below are worked out by hand from the block
// rules: blocks of 1000 packets, the last three of a block not analysed.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "analysis/scanner.h"
#include "builder.h"
#include "support/programs.h"

namespace build = varnek::build;
namespace t = varnek::test;

namespace {

// The packet counts of the report's PID list, summed.
uint64_t counted(const std::string& out) {
    std::istringstream rows(out.substr(std::min(out.find("\nPID-List\n"), out.size())));
    uint64_t sum = 0;
    unsigned n, pid, count;
    for (std::string row; std::getline(rows, row);)
        if (std::sscanf(row.c_str(), "%u %u %u", &n, &pid, &count) == 3) sum += count;
    return sum;
}

TEST(ScannerStress, TwoThousandPartFiles) {
#ifdef _WIN32
    VARNEK_NOT_ON_WINDOWS("hard links and the open-file limit are POSIX ones");
#else
    t::TempDir dir;
    // Every part file the same 5 packets (links: creating 2000 files costs
    // seconds on some file systems); the first two of each are analysed.
    build::Packet pat = build::pat_packet({{1, 0x64}}), null = build::null_packet();
    ASSERT_TRUE(build::write_packets(dir.file("rec.ts"), {pat, build::pmt_packet({}), null, null, null}));
    std::string progress = "Analyse: 'rec.ts' BEG.PAT..PMT.. done\n";
    for (unsigned part = 1; part < 2000; ++part) {
        ASSERT_EQ(link(dir.file("rec.ts").c_str(), dir.file(build::part_name("rec.ts", part)).c_str()), 0);
        progress += "Analyse: '" + build::part_name("rec.ts", part) + "' BEG. done\n";
    }
    // Few descriptors, so that one left open per part file ends the chain early.
    rlimit files;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    rlimit few{64, files.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    auto run = t::run_varnek({"rec.ts"}, dir.path());
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.substr(0, progress.size() + 10), progress + "Testtime: ");
    EXPECT_NE(run.out.find("\nPID-List\n 1    0     2000 PAT        \n 2  100     2000 PMT        \n"), std::string::npos)
        << run.out.substr(progress.size());
#endif
}

TEST(ScannerStress, SparseFileAboveFourGiB) {
    t::TempDir dir;
    const uint64_t packets = 28556963;  // 5 GiB / 188
    build::Recipe r;
    r.streams = {build::video_stream()};  // every PES start carries the PCR
    r.head = {build::qbxh_packet({}), build::pmt_packet(build::pmt_for(r))};
    r.sync_damage = {(packets - 500) * 188};
    const std::string path = dir.file("big.ts");
    ASSERT_TRUE(build::write_sparse_recording(r, path, packets * 188, 1000, 1000).ok);
    // The first PAT of the file stands at the start of the tail block.
    build::Packet pat = build::pat_packet({{1, 0x64}});
    ASSERT_TRUE(t::write_at(path, (packets - 1000) * 188, pat.data(), 188));

    auto run = t::run_varnek({"big.ts"}, dir.path());
    EXPECT_EQ(run.exit_code, 0);
    // The test fails two packets ahead of the damage and succeeds behind it.
    EXPECT_EQ(run.err, "\nSync lost at 13FFE8F0C ==> ReSync at 13FFE9140\n");
    EXPECT_EQ(run.out.find("Analyse: 'big.ts' BEG.QBXH..PMT..PCR..PTS..SEEK..PAT..PCR..PTS.END done\n"), 0u);
    for (const char* part : {"\nQBXH\n Offset:    0x0 (0)\n", "\nPAT\n Offset:  0x13FFD2154 (28555963)\n",
                             "\nPMT\n Offset:  0xBC (1)\n", " Duration:  03:57:58\n"})
        EXPECT_NE(run.out.find(part), std::string::npos) << part << run.out;
    EXPECT_EQ(counted(run.out), 997u + 994u);  // the head block, the tail block less 3 packets
}

TEST(ScannerStress, EveryBlockLosesAndRegainsSync) {
    t::TempDir dir;
    build::Recipe r;
    r.head = {build::pat_packet({{1, 0x64}}), build::pmt_packet(build::pmt_for(r))};
    r.body_packets = 5000 - 2;
    build::Bytes bytes = build::recording_bytes(r);
    // A junk byte ahead of packet 500 of every block. Block i starts at
    // 188000 * i + i (each block ends one byte further on: k = 1).
    for (uint64_t i = 0; i < 5; ++i) build::insert_bytes(bytes, (1000 * i + 500) * 188 + i, 1);
    ASSERT_TRUE(build::write_bytes(dir.file("junk.ts"), bytes));
    auto run = t::run_varnek({"-all", "junk.ts"}, dir.path());
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err,
              "\nSync lost at 00016DB8 ==> ReSync at 00016F31\n"
              "\nSync lost at 00044C19 ==> ReSync at 00044D92\n"
              "\nSync lost at 00072A7A ==> ReSync at 00072BF3\n"
              "\nSync lost at 000A08DB ==> ReSync at 000A0A54\n"
              "\nSync lost at 000CE73C ==> ReSync at 000CE8B5\n");
    EXPECT_EQ(run.out.find("Analyse: 'junk.ts' BEG.PAT..PMT..PCR..PTS."), 0u);
    EXPECT_NE(run.out.find(". done\nTesttime: "), std::string::npos);
    // Per block packets 0..497 and 500..996.
    EXPECT_EQ(counted(run.out), 5u * (498 + 497));
}

TEST(ScannerStress, TailPassStepsBackOverTheWholeFile) {
    const struct { uint64_t packets; std::string markers; uint64_t counted; } rows[] = {
        // Tail block at packet 500; a step back would start before 0: to the end.
        {1500, ".SEEK.. done\n", 997 * 2},
        // Tail block at 1000, a step back to exactly 0 meets the head again.
        {2000, ".SEEK...PCR..PTS.END done\n", 997 * 3},
        // Tail block at 1500, back to 500, then the step would start before 0.
        {2500, ".SEEK... done\n", 997 * 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.packets);
        t::TempDir dir;
        build::Recipe r;
        r.streams = {};
        r.pcr_interval_ms = 0;  // behind the head only null packets
        build::PesFields pes;  // a PES start with a PCR
        pes.with_pcr = true;
        r.head = {build::pat_packet({{1, 0x64}}), build::pmt_packet(build::pmt_for(r)), build::pes_packet(pes)};
        r.body_packets = row.packets - 3;
        ASSERT_TRUE(build::write_recording(r, dir.file("r.ts")).ok);
        auto run = t::run_varnek({"r.ts"}, dir.path());
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.err, "");
        const std::string line = "Analyse: 'r.ts' BEG.PAT..PMT..PCR..PTS." + row.markers + "Testtime:";
        EXPECT_EQ(run.out.substr(0, line.size()), line);
        EXPECT_EQ(counted(run.out), row.counted);
    }
}

// A file cut at, just behind and just before every packet boundary: the
// last three whole packets are only looked ahead to.
TEST(ScannerStress, FileCutAtEachPacketBoundary) {
    t::TempDir dir;
    const build::Bytes full = build::pack(std::vector<build::Packet>(6, build::null_packet()));
    const std::string name = dir.file("cut.ts");
    varnek::RunOptions options;
    options.progress = false;
    for (size_t size = 0; size <= full.size(); size += (size % 188 == 1 ? 186 : 1)) {
        ASSERT_TRUE(build::write_bytes(name, build::Bytes(full.begin(), full.begin() + long(size))));
        for (bool all : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (all ? " -all" : ""));
            options.all_packets = all;
            varnek::ScanState state;
            varnek::scan_recording(name.c_str(), varnek::open_input(name.c_str()), options, state, nullptr);
            const unsigned whole = unsigned(size / 188);
            EXPECT_EQ(state.pid_table.rows[0].count, whole > 3 ? whole - 3 : 0);
        }
    }
}

}  // namespace
