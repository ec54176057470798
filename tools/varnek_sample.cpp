// varnek-sample: writes sample recordings, as the receiver makes them, into a
// directory (default: the current one).
//
// Without -count: sample.ts and its part file sample.ts1, about three
// minutes of program 1 at 3 Mbit/s: the receiver's QBXH record, EVNT, SHRT
// and CHNM packets, then PAT and PMT, then MPEG-2 video on 0x100 (PES every
// 40 ms, PCR every 40 ms) and MPEG audio on 0x101 (PES every 24 ms), PAT and
// PMT repeated every 100 ms, 2% null packets.
//
// With -count:N: an archive of N different recordings at 376 kbit/s in one
// folder per channel, 10 s to 10 min long, MPEG-2 or H.264 video, some
// without the receiver's packets, some in two or three part files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "builder.h"

namespace build = varnek::build;

namespace {

constexpr uint16_t duration_s = 180;
constexpr uint64_t packets_per_ms = 2;  // 3,008,000 bit/s

const char usage[] =
    "Usage: varnek-sample [directory] [-count:N]\n"
    "\n"
    "Writes sample recordings, as a satellite receiver makes them, into the\n"
    "directory (default: the current one).\n"
    "\n"
    "  (no option)  sample.ts and its part file sample.ts1: three minutes of\n"
    "               MPEG-2 video and audio at 3 Mbit/s, about 32 MiB each\n"
    "  -count:N     N different recordings (1 to 10000) in one folder per\n"
    "               channel: 10 s to 10 min at 376 kbit/s, MPEG-2 or H.264\n"
    "               video, some without the receiver's packets, some in parts\n"
    "  --help       this text\n";

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

// Recording number i of an archive of count: each property runs through
// its own cycle, so that neighbours differ in all of them.
struct ArchiveEntry {
    std::string path;  // below the archive's folder
    build::Recipe recipe;
};

ArchiveEntry archive_entry(unsigned i, unsigned count) {
    static const struct { const char* folder; const char* channel; } channels[] = {
        {"eins", "Varnek Eins"},
        {"zwei", "Varnek Zwei HD"},
        {"regional", "Varnek Regional"},
        {"kultur", "Varnek Kultur"},
    };
    static const struct { const char* event; const char* short_text; } programmes[] = {
        {"Evening News", "The day's news and the weather."},
        {"Nature: The Alps", "Marmots, eagles and a long winter."},
        {"Late Film", "A detective story in black and white."},
        {"Quiz Night", "Four teams, ten rounds."},
        {"Concert", "A symphony orchestra plays Sch\xF6nberg."},
        {"Cooking", "Bread from the oven."},
        {"Documentary", "How a satellite reaches its orbit."},
    };
    const auto& channel = channels[i % 4];
    const auto& programme = programmes[i % 7];
    // 10 s to 600 s, in an order that jumps about: 37 is prime.
    const uint16_t seconds = uint16_t(count < 2 ? 10 : 10 + 590ull * ((i * 37ull) % count) / (count - 1));
    const int day = 1 + int(i * 5 % 28), hour = 6 + int(i * 7 % 17), minute = int(i * 13 % 60);

    build::ReceiverFields f;
    f.packets_per_ms = 1;
    f.duration_s = seconds;
    f.mjd = build::mjd_from_date(2026, 11, day);
    f.start_hour = uint8_t(hour);
    f.start_minute = uint8_t(minute);
    f.video_type = i % 2 == 0 ? 0x02 : 0x1B;  // MPEG-2 or H.264
    f.event = programme.event;
    f.short_text = programme.short_text;
    f.channel = channel.channel;
    ArchiveEntry entry;
    build::Recipe& r = entry.recipe = build::receiver_recipe(f);
    r.bitrate_bps = 376000;  // 250 packets a second
    r.body_packets = (uint64_t(seconds) * 1000 + 100) / 4;
    // Every third recording lacks the receiver's packets (record, EVNT,
    // SHRT, CHNM): it begins with its PAT and PMT.
    if (i % 3 == 2) r.head.erase(r.head.begin(), r.head.begin() + 4);
    const uint64_t total = r.head.size() + r.body_packets;
    if (i % 4 == 1) r.part_packets = (total + 1) / 2;
    if (i % 5 == 3) r.part_packets = (total + 2) / 3;
    char name[64];
    std::snprintf(name, sizeof name, "%s/2026-11-%02d_%02d-%02d_%03u.%s", channel.folder, day, hour, minute, i + 1,
                  i % 6 == 5 ? "rec" : "ts");
    entry.path = name;
    return entry;
}

bool write_and_tell(const build::Recipe& recipe, const std::string& path) {
    build::WriteResult written = build::write_recording(recipe, path);
    if (!written.ok) {
        std::fprintf(stderr, "varnek-sample: %s\n", written.error.c_str());
        return false;
    }
    std::string names;
    for (const std::string& f : written.files) names += (names.empty() ? "" : ", ") + f;
    std::printf("Wrote %s\n", names.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    unsigned count = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (std::strncmp(arg, "-count:", 7) == 0) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(arg + 7, &end, 10);
            if (arg[7] < '0' || arg[7] > '9' || *end != '\0' || n < 1 || n > 10000) {
                std::fprintf(stderr, "varnek-sample: -count: takes a number from 1 to 10000\n%s", usage);
                return 2;
            }
            count = unsigned(n);
        } else if (arg[0] == '-' || !dir.empty()) {
            std::fputs(usage, stderr);
            return 2;
        } else {
            dir = arg;
        }
    }
    if (dir.empty()) dir = ".";
    if (dir.back() != '/') dir += '/';

    if (count == 0) return write_and_tell(sample_recipe(), dir + "sample.ts") ? 0 : 1;
    for (unsigned i = 0; i < count; ++i) {
        ArchiveEntry entry = archive_entry(i, count);
        const std::string path = dir + entry.path;
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::u8path(path).parent_path(), ec);
        if (!write_and_tell(entry.recipe, path)) return 1;
    }
    return 0;
}
