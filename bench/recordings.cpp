// bench-recordings: writes the benchmark's recordings into a folder, as the
// receiver makes them (QBX packets, PAT and PMT, then video and audio with
// their clocks and tables):
//
//   bench-recordings DIR SMALL_BYTES LARGE_BYTES GIANT_BYTES [ARCHIVE_COUNT]
//
// small.ts and large.ts are written whole; giant.ts is sparse, with real
// packets at its head and tail and a hole between. The names are of one
// length, since the tool's allocations may depend on the name's length.
// With ARCHIVE_COUNT, DIR/archive holds that many recordings of 1000
// packets, 100 to a folder (archive/f00/r0000.ts, ...).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "builder.h"

namespace build = varnek::build;

namespace {

constexpr uint64_t packets_per_ms = 4;  // 6,016,000 bit/s

build::Recipe recording_recipe(uint64_t total_packets) {
    build::ReceiverFields f;
    f.packets_per_ms = packets_per_ms;
    f.duration_s = static_cast<uint16_t>(std::min<uint64_t>(total_packets / packets_per_ms / 1000, 0xFFFF));
    f.mjd = build::mjd_from_date(2026, 3, 14);
    f.start_hour = 21;
    f.start_minute = 5;
    f.event = "Benchmark Evening";
    f.short_text = "A long recording for measuring the scan.";
    f.channel = "Varnek Bench";
    build::Recipe r = build::receiver_recipe(f);
    r.body_packets = total_packets > r.head.size() ? total_packets - r.head.size() : 0;
    return r;
}

bool write_one(const std::string& path, uint64_t bytes, bool sparse) {
    uint64_t packets = bytes / build::packet_bytes;
    build::Recipe recipe = recording_recipe(packets);
    build::WriteResult w = sparse ? build::write_sparse_recording(recipe, path, packets * build::packet_bytes, 3000, 3000)
                                  : build::write_recording(recipe, path);
    if (!w.ok) {
        std::fprintf(stderr, "bench-recordings: %s\n", w.error.c_str());
        return false;
    }
    // Written back now, so that the writeback does not fall into the timed runs.
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    std::printf("# %s: %llu packets%s\n", path.c_str(), static_cast<unsigned long long>(packets),
                sparse ? " (sparse: 3000 at each end)" : "");
    return true;
}

// Recordings of 1000 packets for timing a run over many files; each its
// own channel and start, so that their list lines differ.
bool write_archive(const std::string& dir, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        build::ReceiverFields f;
        f.duration_s = 1;
        f.mjd = build::mjd_from_date(2026, 3, 1 + int(i % 28));
        f.start_hour = uint8_t(i / 60 % 24);
        f.start_minute = uint8_t(i % 60);
        f.channel = "Archive " + std::to_string(i);
        build::Recipe r = build::receiver_recipe(f);
        r.body_packets = 1000 - r.head.size();
        char name[32];
        std::snprintf(name, sizeof name, "f%02u/r%04u.ts", i / 100, i);
        const std::string path = dir + "archive/" + name;
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        build::WriteResult w = build::write_recording(r, path);
        if (!w.ok) {
            std::fprintf(stderr, "bench-recordings: %s\n", w.error.c_str());
            return false;
        }
    }
    std::printf("# %sarchive: %u recordings of 1000 packets\n", dir.c_str(), count);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "Usage: bench-recordings DIR SMALL_BYTES LARGE_BYTES GIANT_BYTES [ARCHIVE_COUNT]\n");
        return 2;
    }
    std::string dir = argv[1];
    if (dir.back() != '/') dir += '/';
    uint64_t small = std::strtoull(argv[2], nullptr, 10), large = std::strtoull(argv[3], nullptr, 10),
             giant = std::strtoull(argv[4], nullptr, 10);
    bool ok = write_one(dir + "small.ts", small, false) && write_one(dir + "large.ts", large, false) &&
              write_one(dir + "giant.ts", giant, true) &&
              (argc < 6 || write_archive(dir, unsigned(std::strtoul(argv[5], nullptr, 10))));
    return ok ? 0 : 1;
}
