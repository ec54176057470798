// Writes the seed corpus of the fuzz targets:
//   fuzz-seeds <dir>
// fills <dir>/fuzz_packets, <dir>/fuzz_run and <dir>/fuzz_undo. Every seed
// starts with the option byte its target reads first (see fuzz_packets.cpp,
// fuzz_run.cpp, fuzz_undo.cpp), followed by packets made with the recording
// builder, or by the template of an undo file.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "builder.h"
#include "fuzz_undo.h"

using namespace varnek::build;

namespace {

std::string packets_dir, run_dir, undo_dir;
unsigned written = 0;

void make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

void seed(const std::string& dir, const std::string& name, uint8_t select, const Bytes& bytes) {
    Bytes all;
    all.reserve(bytes.size() + 1);
    all.push_back(select);
    all.insert(all.end(), bytes.begin(), bytes.end());
    if (!write_bytes(dir + "/" + name, all)) {
        std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
        std::exit(1);
    }
    ++written;
}

// One seed of fuzz_packets per option byte in selects.
void packet_seeds(const std::string& name, const std::vector<Packet>& packets,
                  std::initializer_list<uint8_t> selects = {0x00, 0x07}) {
    for (uint8_t s : selects) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "-%02x", unsigned(s));
        seed(packets_dir, name + suffix, s, pack(packets));
    }
}

PmtFields several_streams() {
    PmtFields pmt;
    pmt.pid = 0x64;
    pmt.program_number = 0x2B66;
    pmt.pcr_pid = 0x100;
    pmt.program_descriptors = {0x0E, 0x03, 0xC0, 0x10, 0x00};
    pmt.streams = {
        {0x02, 0x100, {0x52, 0x01, 0x01}},
        {0x03, 0x101, {0x0A, 0x04, 'd', 'e', 'u', 0x01}},
        {0x06, 0x102, {0x56, 0x05, 'd', 'e', 'u', 0x09, 0x00}},
        {0x81, 0x103, {}},
        {0x1B, 0x104, {}},
    };
    return pmt;
}

QbxhFields header_fields(uint16_t pmt_pid) {
    QbxhFields f;
    f.program_number = 0x2B66;
    f.duration_s = 3 * 60;
    f.start_hour = 20;
    f.start_minute = 15;
    f.mjd = mjd_from_date(2011, 3, 14);
    f.video_pid = 0x100;
    f.audio_pid = 0x101;
    f.pcr_pid = 0x100;
    f.pmt_pid = pmt_pid;
    f.streams = {{0x02, 0x100}, {0x03, 0x101}, {0x06, 0x102}, {0xE2, 0x64}};
    return f;
}

// The receiver's recording of program 0x2B66, its record naming the PMT
// PID given.
Recipe receiver(uint64_t body, uint16_t record_pmt_pid = 0x64) {
    ReceiverFields f;
    f.program_number = 0x2B66;
    f.record_pmt_pid = record_pmt_pid;
    f.duration_s = 3 * 60;
    f.mjd = mjd_from_date(2011, 3, 14);
    f.start_hour = 20;
    f.start_minute = 15;
    f.event = "Abendnachrichten";
    f.short_text = "Nachrichten, Wetter und Sport";
    f.channel = "Kanal Eins HD";
    Recipe r = receiver_recipe(f);
    r.body_packets = body;
    return r;
}

void write_packet_seeds() {
    packet_seeds("pat", {pat_packet({{1, 0x64}})});
    packet_seeds("pat-programs", {pat_packet({{0, 0x10}, {1, 0x64}, {2, 0x65}, {3, 0x1FF}})});
    packet_seeds("pmt-streams", {pmt_packet(several_streams())});
    {
        PmtFields changed = several_streams();
        changed.version = 1;
        changed.streams.pop_back();
        packet_seeds("pmt-change", {pmt_packet(several_streams()), pmt_packet(changed)}, {0x01, 0x07});
    }
    packet_seeds("pes-video", {pes_with_pts(0x100, video_stream_id, 900000), pes_with_pts(0x100, video_stream_id, 903600, 1)});
    packet_seeds("pes-jump", {pes_with_pts(0x100, video_stream_id, 900000), pes_with_pts(0x100, video_stream_id, 900000 + 20 * 90000, 1)}, {0x03});
    packet_seeds("pes-audio", {pes_with_pts(0x101, audio_stream_id, 900000)});
    {
        PesFields s;
        s.pid = 0x100;
        s.pts = 1234567;
        s.with_pcr = true;
        s.pcr_base = 1230000;
        s.adaptation_length = 7;
        packet_seeds("pes-pcr", {pes_packet(s)});
        s.cleared_marker = 1;
        packet_seeds("pes-bad-marker", {pes_packet(s)});
    }
    {
        PacketFields a;
        a.pid = 0x100;
        a.layout = Layout::adaptation_only;
        a.with_pcr = true;
        a.pcr_base = 900000;
        PacketFields b = a;
        b.pcr_base = 900000 + 5 * 90000;  // a jump of five seconds
        b.continuity = 1;
        packet_seeds("pcr", {make_packet(a), make_packet(b)}, {0x00, 0x03});
        a.pcr_base = clock_mask;  // just before the wrap
        b.pcr_base = 90;
        packet_seeds("pcr-wrap", {make_packet(a), make_packet(b)}, {0x03});
    }
    packet_seeds("qbxh", {qbxh_packet(header_fields(0x64))}, {0x00, 0x05, 0x19});
    packet_seeds("qbxh-no-pmt-pid", {qbxh_packet(header_fields(0))});
    const std::vector<Packet> own = receiver(0).head;  // the record, EVNT, SHRT, CHNM, PAT, PMT
    packet_seeds("qbx-texts", {own.begin(), own.begin() + 4}, {0x00, 0x08, 0x10, 0x18, 0x20});
    packet_seeds("qbx-long-text", {qbx_packet("CHNM", std::string(200, 'x'))}, {0x00, 0x08});
    packet_seeds("null", {null_packet(), null_packet(1)});

    // Malformed lengths: adaptation field lengths from 183 to 255.
    for (unsigned length : {183u, 184u, 185u, 187u, 188u, 200u, 255u}) {
        PacketFields a;
        a.pid = 0x64;
        a.pusi = true;
        a.layout = Layout::adaptation_and_payload;
        a.with_pcr = true;
        a.pcr_base = 900000;
        a.adaptation_length = 7;
        a.raw_adaptation_length = int(length);
        a.payload = {0x00, 0x02, 0xB0, 0x20};
        packet_seeds("adaptation-" + std::to_string(length), {make_packet(a)}, {0x05});
    }
    // Section lengths beyond the packet, on a PAT and on a PMT.
    for (int length : {0, 5, 9, 180, 184, 1021, 4095}) {
        PatFields pat;
        pat.tweaks.section_length = length;
        PmtFields pmt = several_streams();
        pmt.tweaks.section_length = length;
        packet_seeds("section-length-" + std::to_string(length), {pat_packet(pat), pmt_packet(pmt)}, {0x05});
    }
    {
        PmtFields pmt = several_streams();
        pmt.program_info_length = 1000;
        packet_seeds("pmt-info-length", {pmt_packet(pmt)}, {0x04});
        pmt = several_streams();
        pmt.streams[1].es_info_length = 900;
        packet_seeds("pmt-es-length", {pmt_packet(pmt)}, {0x04});
        pmt = several_streams();
        pmt.tweaks.pointer_field = 170;
        packet_seeds("pmt-pointer", {pmt_packet(pmt)}, {0x04});
        pmt = several_streams();
        pmt.streams.clear();
        for (unsigned i = 0; i < 20; ++i) pmt.streams.push_back({0x06, uint16_t(0x200 + i), {}});
        packet_seeds("pmt-many-streams", {pmt_packet(pmt)}, {0x04});
    }

    {
        // More distinct PIDs than the table has rows.
        std::vector<Packet> many;
        for (unsigned i = 0; i < 40; ++i) many.push_back(pes_with_pts(uint16_t(0x300 + i), private_stream_id, 90000 * i));
        packet_seeds("many-pids", many, {0x00, 0x07});
    }

    // A receiver recording's head: its own packets, PAT, PMT and the body.
    std::vector<Packet> head = make_recording(receiver(24));
    packet_seeds("recording-head", head, {0x00, 0x01, 0x03, 0x07, 0x08, 0x18, 0x20, 0x47});
}

void write_run_seeds() {
    // Byte 0 of a fuzz_run seed: the part split (in 128ths) and bit 7 for -force.
    seed(run_dir, "recording-head", 0x00, recording_bytes(receiver(24)));
    seed(run_dir, "recording-two-parts", 0x40, recording_bytes(receiver(1500)));
    seed(run_dir, "recording-force", 0x80, recording_bytes(receiver(60)));
    seed(run_dir, "recording-no-pmt-pid", 0x00, recording_bytes(receiver(60, 0)));
    {
        // Without the receiver's packets: PAT and PMT first, then the body.
        Recipe r = receiver(80);
        r.head.erase(r.head.begin(), r.head.begin() + 4);
        seed(run_dir, "recording-bare", 0x00, recording_bytes(r));
    }
    {
        // Sync damage and a partial packet at the end.
        Recipe r = receiver(400);
        r.sync_damage = {100 * 188, 101 * 188 + 7, 300 * 188};
        r.trailing_bytes = 100;
        seed(run_dir, "recording-damaged", 0x00, recording_bytes(r));
    }
    {
        // Misaligned: bytes inserted in the middle of the body.
        Recipe r = receiver(300);
        Bytes b = recording_bytes(r);
        insert_bytes(b, 150 * 188 + 20, 61);
        seed(run_dir, "recording-misaligned", 0x00, b);
    }
    {
        // Long enough for the head and tail passes: more than one block of 1000 packets.
        Recipe r = receiver(2400);
        r.pcr_interval_ms = 100;
        seed(run_dir, "recording-blocks", 0x00, recording_bytes(r));
    }
    {
        // A PCR in every packet of a single stream: the rate lines of -all.
        Recipe r = receiver(2100);
        r.streams = {video_stream()};
        r.pcr_interval_ms = 1;
        r.bitrate_bps = bitrate_for_packets_per_ms(1);
        seed(run_dir, "recording-pcr-every-packet", 0x00, recording_bytes(r));
    }
    {
        // A tail without PCR and PES: the tail pass steps back block by block
        // until it would pass the file's start.
        Bytes b = recording_bytes(receiver(300));
        for (unsigned i = 0; i < 2 * 1000 + 500; ++i) {
            Packet n = null_packet(uint8_t(i));
            b.insert(b.end(), n.begin(), n.end());
        }
        seed(run_dir, "recording-empty-tail", 0x00, b);
    }
}

// Undo files of the recording fuzz_undo writes, each leaving it as it is:
// their new bytes are the recording's own.
std::string undo_state(size_t size) {
    return std::to_string(size) + " " + std::to_string(varnek::fuzz::undo_access_sec) + " 0 " +
           std::to_string(varnek::fuzz::undo_modify_sec) + " 0";
}

std::string undo_packet(unsigned part, uint64_t offset, size_t count, size_t old_size) {
    static const char digits[] = "0123456789abcdef";
    std::string old_hex, new_hex;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t now = varnek::fuzz::undo_byte(part, offset + i);
        const uint8_t was = offset + i < old_size ? uint8_t(now ^ 0x5A) : 0;  // beyond the old end: zero
        old_hex += {digits[was >> 4], digits[was & 0x0F]};
        new_hex += {digits[now >> 4], digits[now & 0x0F]};
    }
    return "packet " + std::to_string(part) + " " + std::to_string(offset) + " " + old_hex + " " + new_hex + "\n";
}

void write_undo_seeds() {
    const size_t size0 = varnek::fuzz::undo_part_packets[0] * packet_bytes;
    const size_t size1 = varnek::fuzz::undo_part_packets[1] * packet_bytes;
    const std::string head = "varnek-undo 2\nrecording @N\nresolved @R\nidentity @D0 @I0\nmade 1100000000 0\n";
    const std::string file0 = "file 0 @D0 @I0 " + undo_state(size0) + "\n";
    const std::string after0 = "after 0 " + undo_state(size0) + "\n";
    const std::string one = head + file0 + undo_packet(0, 0, 3 * packet_bytes, size0) + after0;
    auto undo_seed = [](const std::string& name, uint8_t select, const std::string& text) {
        seed(undo_dir, name, select, Bytes(text.begin(), text.end()));
    };
    // Byte 0: bit 0 template, bit 1 end line added, bit 2 -dry.
    undo_seed("one-write", 0x03, one);
    undo_seed("one-write-dry", 0x07, one);
    undo_seed("undoing", 0x03, one + "undoing\n");
    undo_seed("two-parts", 0x03,
              one + "file 1 @D1 @I1 " + undo_state(size1) + "\n" + undo_packet(1, packet_bytes + 70, 2, size1) +
                  "after 1 " + undo_state(size1) + "\n");
    undo_seed("two-writes", 0x03, one + undo_packet(0, 4 * packet_bytes, packet_bytes, size0) + after0);
    undo_seed("cut-short", 0x03, head + file0 + undo_packet(0, 2 * packet_bytes, packet_bytes, size0));
    undo_seed("failed", 0x03,
              head + file0 + undo_packet(0, 0, packet_bytes, size0) + "failed 0 " + undo_state(size0) + "\n");
    // The write appended the last packet, which -undo cuts off again.
    undo_seed("appended", 0x03,
              head + "file 0 @D0 @I0 " + undo_state(size0 - packet_bytes) + "\n" +
                  undo_packet(0, size0 - packet_bytes, packet_bytes, size0 - packet_bytes) + after0);
    undo_seed("unsealed", 0x01, one + "end 8 00000000\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz-seeds <dir>\n");
        return 2;
    }
    std::string dir = argv[1];
    make_dir(dir);
    packets_dir = dir + "/fuzz_packets";
    run_dir = dir + "/fuzz_run";
    undo_dir = dir + "/fuzz_undo";
    make_dir(packets_dir);
    make_dir(run_dir);
    make_dir(undo_dir);
    write_packet_seeds();
    write_run_seeds();
    write_undo_seeds();
    std::printf("%u seeds in %s\n", written, dir.c_str());
    return 0;
}
