// varnek-sample: writes a sample recording, as the receiver makes one, into a
// directory (default: the current one): sample.ts and its part file sample.ts1.
//
// About three minutes of program 1 at 3 Mbit/s: the receiver's QBXH record,
// EVNT, SHRT and CHNM packets, then PAT and PMT, then MPEG-2 video on 0x100
// (PES every 40 ms, PCR every 40 ms) and MPEG audio on 0x101 (PES every
// 24 ms), PAT and PMT repeated every 100 ms, 2% null packets.
#include <cstdio>
#include <string>

#include "builder.h"

namespace build = varnek::build;

namespace {

constexpr uint16_t duration_s = 180;
constexpr uint64_t packets_per_ms = 2;  // 3,008,000 bit/s

build::Recipe sample_recipe() {
    build::ReceiverFields f;
    f.packets_per_ms = packets_per_ms;
    f.duration_s = duration_s;
    f.mjd = build::mjd_from_date(2026, 11, 28);
    f.start_hour = 20;
    f.start_minute = 15;
    f.event = "The Long Night of the Receiver";
    f.short_text = "A recording made for testing: picture, sound and tables.";
    f.channel = "Varnek Test HD";
    build::Recipe r = build::receiver_recipe(f);
    // A little beyond the duration, so that the last PES start and PCR at
    // 180 s lie well inside the file.
    r.body_packets = (duration_s * 1000 + 30) * packets_per_ms;
    uint64_t total = r.head.size() + r.body_packets;
    r.part_packets = (total + 1) / 2;  // two part files of about equal size
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "Usage: varnek-sample [directory]\n");
        return 2;
    }
    std::string dir = argc == 2 ? argv[1] : ".";
    if (dir.empty()) dir = ".";
    if (dir.back() != '/') dir += '/';

    build::Recipe recipe = sample_recipe();
    build::WriteResult written = build::write_recording(recipe, dir + "sample.ts");
    if (!written.ok) {
        std::fprintf(stderr, "varnek-sample: %s\n", written.error.c_str());
        return 1;
    }
    std::string names;
    for (const std::string& f : written.files) names += (names.empty() ? "" : ", ") + f;
    std::printf("Wrote %s\n", names.c_str());
    return 0;
}
