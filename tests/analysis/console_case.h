// Runs the tool on recordings written into a fresh directory and compares
// what it prints with a golden text (the Testtime figure masked), its error
// stream exactly, and every file byte for byte with what was written.
#pragma once

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "builder.h"
#include "support/programs.h"

namespace varnek::test {

namespace build = varnek::build;
using Packets = std::vector<build::Packet>;

struct ConsoleCase {
    const char* golden;                          // file in the golden folder: the whole stdout
    std::function<void(const TempDir&)> make;    // writes the recordings
    std::vector<std::string> args;
    std::string tz = "UTC";
    std::string err = "";                        // the whole stderr
};

inline void write(const TempDir& dir, const std::string& name, const Packets& packets) {
    ASSERT_TRUE(build::write_packets(dir.file(name), packets)) << name;
}

inline Packets nulls(size_t n) { return Packets(n, build::null_packet()); }

inline Packets operator+(Packets a, const Packets& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Writes each file: its packets, then three null packets, which the scan
// only looks ahead to.
inline std::function<void(const TempDir&)> files(std::map<std::string, Packets> named) {
    return [named](const TempDir& dir) {
        for (const auto& [name, packets] : named) write(dir, name, packets + nulls(3));
    };
}
inline std::function<void(const TempDir&)> rec(Packets packets) { return files({{"rec.ts", std::move(packets)}}); }

// A PES start with (or without, pts_ms < 0) a PTS, with a PCR when pcr_ms >= 0.
inline build::Packet pes(uint16_t pid, long pts_ms, long pcr_ms = -1) {
    build::PesFields f;
    f.pid = pid;
    f.with_pts = pts_ms >= 0;
    f.pts = pts_ms >= 0 ? uint64_t(pts_ms) * 90 : 0;
    f.with_pcr = pcr_ms >= 0;
    f.pcr_base = pcr_ms >= 0 ? uint64_t(pcr_ms) * 90 : 0;
    return build::pes_packet(f);
}

inline build::Packet pcr_only(uint16_t pid, long pcr_ms) { return build::pcr_packet(pid, uint64_t(pcr_ms) * 90); }

inline build::Packet pmt(uint16_t pid, uint16_t program, uint16_t pcr_pid,
                         std::vector<build::PmtStream> streams, uint8_t continuity = 0) {
    build::PmtFields f;
    f.pid = pid;
    f.program_number = program;
    f.pcr_pid = pcr_pid;
    f.streams = std::move(streams);
    f.continuity = continuity;
    return build::pmt_packet(f);
}
// Program 1's PMT on 0x64 with video 0x100.
inline build::Packet video_pmt(uint16_t pcr_pid = 0x100) { return pmt(0x64, 1, pcr_pid, {{0x02, 0x100, {}, -1}}); }

// Each file's bytes; a sparse giant only by its size.
inline std::map<std::string, Bytes> snapshot(const TempDir& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        std::string path = e.path().string(), name = e.path().filename().string();
        int64_t size = file_size(path);
        if (size < (1 << 24))
            files[name] = read_file(path);
        else
            files[name + " of " + std::to_string(size) + " bytes"] = {};
    }
    return files;
}

inline void check_console_case(const ConsoleCase& c) {
    SCOPED_TRACE(c.golden);
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    c.make(dir);
    if (::testing::Test::HasFatalFailure()) return;
    auto before = snapshot(dir);
    RunResult r = run_varnek(c.args, dir.path(), {"TZ=" + c.tz});
    ASSERT_TRUE(r.started) << r.err;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, c.err);
    const std::string golden = std::string(VARNEK_GOLDEN_DIR) + "/" + c.golden;
    ASSERT_TRUE(file_exists(golden)) << c.golden;
    EXPECT_EQ(without_testtime(r.out), read_text(golden));
    EXPECT_TRUE(snapshot(dir) == before) << "a file was changed";
}

}  // namespace varnek::test
