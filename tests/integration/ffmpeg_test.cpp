// Recordings made by ffmpeg, with the receiver's own packets put in front:
// the report and -check must agree with what ffprobe and ffmpeg read from
// the same file (streams, clocks, packets per PID, continuity), and the head
// repairs must leave the file readable for ffprobe. The tool's figures are
// read from its -json objects, ffprobe's from its JSON output.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "builder.h"
#include "support/programs.h"

namespace build = varnek::build;
using namespace varnek::test;
using Json = nlohmann::json;

namespace {

struct Stream { std::string codec; double start = 0; };
struct Probe { std::map<unsigned, Stream> streams; double duration = -1; };  // streams by PID

unsigned pid_at(const Bytes& f, size_t at) { return unsigned(f[at + 1] & 0x1F) << 8 | f[at + 2]; }
bool payload_only(const Bytes& f, size_t at) { return (f[at + 3] & 0x30) == 0x10; }
unsigned hex(const std::string& text) { return unsigned(std::strtoul(text.c_str(), nullptr, 16)); }
double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// Sections as stored in the file, read here byte by byte: the offset of the
// table id of the first section on the PID, or npos.
size_t section_on(const Bytes& f, unsigned pid) {
    for (size_t o = 0; o + 188 <= f.size(); o += 188) {
        if (f[o] != 0x47 || !(f[o + 1] & 0x40) || pid_at(f, o) != pid) continue;
        size_t h = o + ((f[o + 3] & 0x20) ? 5 + f[o + 4] : 4);
        return h + 1 + f[h];
    }
    return std::string::npos;
}
size_t crc_of(const Bytes& f, size_t s) { return s + 3 + ((f[s + 1] & 0x0F) << 8 | f[s + 2]) - 4; }

std::string stored_pat_crc(const Bytes& f) {
    size_t s = section_on(f, 0);
    if (s == std::string::npos) return "no PAT";
    size_t c = crc_of(f, s);
    char text[9];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", f[c], f[c + 1], f[c + 2], f[c + 3]);
    return text;
}
unsigned stored_pmt_pid(const Bytes& f) {  // of the PAT's first program
    size_t s = section_on(f, 0);
    return s == std::string::npos ? 0 : (f[s + 10] & 0x1F) << 8 | f[s + 11];
}
std::map<unsigned, uint8_t> stored_stream_types(const Bytes& f) {
    std::map<unsigned, uint8_t> types;
    size_t s = section_on(f, stored_pmt_pid(f));
    if (s == std::string::npos) return types;
    for (size_t e = s + 12 + ((f[s + 10] & 0x0F) << 8 | f[s + 11]); e + 5 <= crc_of(f, s);
         e += 5 + ((f[e + 3] & 0x0F) << 8 | f[e + 4]))
        types[(f[e + 1] & 0x1F) << 8 | f[e + 2]] = f[e];
    return types;
}

// ffprobe reads the same streams, by PID and codec, starting within 1 ms,
// and about as long.
void expect_same_streams(Probe read, const Probe& expected, double duration_tolerance) {
    ASSERT_EQ(read.streams.size(), expected.streams.size());
    for (const auto& [pid, s] : expected.streams) {
        ASSERT_TRUE(read.streams.count(pid)) << pid;
        EXPECT_EQ(read.streams[pid].codec, s.codec);
        EXPECT_NEAR(read.streams[pid].start, s.start, 0.001);
    }
    EXPECT_NEAR(read.duration, expected.duration, duration_tolerance);
}

// The tool's rows by PID: of the object's PID list, or of its check.
std::map<unsigned, Json> by_pid(const Json& rows) {
    std::map<unsigned, Json> found;
    for (const Json& row : rows) found[row["pid"]] = row;
    return found;
}

class FfmpegRecording : public ::testing::Test {
protected:
    void SetUp() override {
        VARNEK_NOT_ON_WINDOWS("ffmpeg and ffprobe are tools of the build machine");
        VARNEK_NEED_PROGRAM(ffmpeg_);
        VARNEK_NEED_PROGRAM(ffprobe_);
        ASSERT_TRUE(dir_.ok());
    }

    // A short clip of a test picture and a tone; returns its bytes.
    Bytes make(const std::string& name, const std::vector<std::string>& codecs) {
        std::vector<std::string> args{"-loglevel", "error", "-nostdin", "-y",
                                      "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
                                      "-f", "lavfi", "-i", "sine", "-t", "10.5"};
        args.insert(args.end(), codecs.begin(), codecs.end());
        args.insert(args.end(), {"-f", "mpegts", name});
        RunResult r = run_program(ffmpeg_, args, dir_.path());
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return read_file(dir_.file(name));
    }

    // ffprobe's JSON on the file in the test's folder.
    Json ffprobe(std::vector<std::string> args, const std::string& file) {
        args.insert(args.begin(), {"-v", "error", "-of", "json"});
        args.push_back(file);
        RunResult r = run_program(ffprobe_, args, dir_.path());
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return Json::parse(r.out, nullptr, false);
    }

    // The tool's object on the file in the test's folder.
    Json varnek_json(std::vector<std::string> args, int exit_code = 0) {
        args.insert(args.begin(), "-json");
        RunResult r = run_varnek(args, dir_.path());
        EXPECT_EQ(r.exit_code, exit_code) << r.err;
        return Json::parse(r.out, nullptr, false);
    }

    Probe probe(const std::string& file) {
        Json j = ffprobe({"-show_entries", "stream=id,codec_name,start_time:format=duration"}, file);
        Probe p;
        for (const Json& s : j["streams"])
            p.streams[hex(s.value("id", ""))] = Stream{s.value("codec_name", ""), number(s.value("start_time", "-1"))};
        p.duration = number(j["format"]["duration"]);
        return p;
    }

    // The report of the file against ffprobe's reading of it.
    void check_against_probe(const std::string& file, const std::map<std::string, std::string>& labels) {
        Probe p = probe(file);
        ASSERT_FALSE(p.streams.empty());
        using Args = std::vector<std::string>;
        for (const Args& args : {Args{file}, Args{"-all", file}}) {
            SCOPED_TRACE(args[0]);
            Json o = varnek_json(args);
            std::map<unsigned, Json> rows = by_pid(o["pids"]);
            for (const auto& [pid, s] : p.streams) {
                ASSERT_TRUE(rows.count(pid) && rows[pid]["pts"].is_object()) << "PID " << pid << " in\n" << o;
                EXPECT_EQ(rows[pid]["label"], labels.at(s.codec)) << s.codec;
                // The report truncates the 90 kHz clock to whole milliseconds.
                EXPECT_NEAR(rows[pid]["pts"]["first_ms"].get<double>() / 1000.0, s.start, 0.001) << s.codec;
            }
            EXPECT_EQ(o["pat"]["crc32"], stored_pat_crc(read_file(dir_.file(file))));
            // Whole seconds of the video's PTS span, which ends one frame
            // before the container's end; the clips last x.5 s so that the
            // truncation stays clear of the tolerance.
            EXPECT_LE(o["duration_s"].get<double>(), p.duration);
            EXPECT_LT(p.duration - o["duration_s"].get<double>(), 1.0);
        }
    }

    TempDir dir_;
    const std::string ffmpeg_ = "ffmpeg", ffprobe_ = "ffprobe";  // found on the PATH
};

TEST_F(FfmpegRecording, Mpeg2VideoAndMpegAudioAgreeWithProbe) {
    Bytes clip = make("clip.ts", {"-c:v", "mpeg2video", "-c:a", "mp2"});
    Bytes rec = build::pack({build::qbx_packet("CHNM", "Testbild"), build::qbx_packet("EVNT", "Sinus")});
    rec.insert(rec.end(), clip.begin(), clip.end());
    ASSERT_TRUE(write_file(dir_.file("rec.ts"), rec));
    check_against_probe("rec.ts", {{"mpeg2video", "Video Mpeg2"}, {"mp2", "Audio Mpeg1"}});
}

TEST_F(FfmpegRecording, H264VideoAndAc3AudioAgreeWithProbe) {
    VARNEK_NEED_TOOL(run_program(ffmpeg_, {"-hide_banner", "-encoders"}).out.find(" libx264 ") != std::string::npos,
                     "the libx264 encoder of ffmpeg");
    Bytes clip = make("clip.ts", {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "ac3"});
    // ffmpeg tags AC-3 in the PMT with stream type 0x81 (and a registration
    // descriptor "AC-3"), the ATSC way, which the tool names "Audio AC3".
    // Under the DVB convention (-mpegts_flags system_b) it would be type 0x06
    // with an AC-3 descriptor, which the tool, knowing 0x06 as teletext
    // only, labels "Teletext". Follow what this ffmpeg wrote.
    auto types = stored_stream_types(clip);
    ASSERT_TRUE(types.count(0x101));
    ASSERT_TRUE(types[0x101] == 0x81 || types[0x101] == 0x06) << int(types[0x101]);
    std::string ac3 = types[0x101] == 0x81 ? "Audio AC3" : "Teletext";

    unsigned pmt = stored_pmt_pid(clip);
    build::QbxhFields h = build::program_record(uint16_t(pmt), 10);
    h.streams[0].type = 0x1B;
    h.streams[1].type = types[0x101];
    Bytes rec = build::pack({build::qbxh_packet(h), build::qbx_packet("CHNM", "Testbild")});
    rec.insert(rec.end(), clip.begin(), clip.end());
    ASSERT_TRUE(write_file(dir_.file("rec.ts"), rec));
    check_against_probe("rec.ts", {{"h264", "Video H264"}, {"ac3", ac3}});
    EXPECT_EQ(varnek_json({"rec.ts"})["header"]["pmt_pid"], pmt);

    // ffmpeg's recording with the receiver's packets in front is intact.
    RunResult check = run_varnek({"-check", "rec.ts"}, dir_.path());
    EXPECT_EQ(check.exit_code, 0) << check.out;
    EXPECT_NE(check.out.find("': intact ("), std::string::npos) << check.out;
}

TEST_F(FfmpegRecording, HeadRepairsKeepTheRecordingReadable) {
    Bytes clip = make("clip.ts", {"-c:v", "mpeg2video", "-c:a", "mp2"});
    // The new record overwrites packet 1 (the CHNM packet) and the new PAT
    // the packet behind the last QBX packet, here a null packet: nothing
    // ffmpeg wrote, which begins with its own tables, is lost.
    Bytes rec = build::pack({build::qbx_packet("CHNM", "Testbild"), build::null_packet()});
    rec.insert(rec.end(), clip.begin(), clip.end());
    std::string path = dir_.file("rec.ts");
    ASSERT_TRUE(write_file(path, rec));
    Probe before = probe("rec.ts");

    // -force: the scan has stored ffmpeg's PAT, which would stop -fixpat.
    RunResult fix = run_varnek({"-fixqbx", "-fixpat", "-force", path});
    ASSERT_EQ(fix.exit_code, 0) << fix.err;
    EXPECT_NE(fix.out.find("Overwrite 1. ts packet with QBX\n"), std::string::npos) << fix.out;
    EXPECT_NE(fix.out.find("Overwrite 2. ts packet with PAT\n"), std::string::npos) << fix.out;
    Bytes fixed = read_file(path);
    ASSERT_EQ(fixed.size(), rec.size());
    EXPECT_TRUE(std::equal(clip.begin(), clip.end(), fixed.begin() + 2 * 188));

    expect_same_streams(probe("rec.ts"), before, 0.1);

    Json again = varnek_json({"rec.ts"});
    EXPECT_EQ(again["header"]["pmt_pid"], stored_pmt_pid(clip));
    EXPECT_EQ(again["pat"], (Json{{"part", 0}, {"offset", 188}, {"crc32", stored_pat_crc(fixed)}, {"crc_ok", true}}));

    // -undo brings back what ffmpeg and the receiver wrote, byte for byte.
    RunResult undo = run_varnek({"-undo", path});
    EXPECT_EQ(undo.err, "");
    EXPECT_EQ(undo.out.substr(0, undo.out.find(" from ")), "Undone: 2 packets of '" + path + "'");
    EXPECT_TRUE(read_file(path) == rec);
}

// ffmpeg's recording cut into three part files that overlap by 120 and 300
// packets, with garbage behind the first two and in front of the last,
// comes back as one file: the clip itself behind the header record, PAT and
// PMT that the salvage adds, which ffprobe reads as it reads the clip.
TEST_F(FfmpegRecording, SalvagedPartsReadAsTheClip) {
    Bytes clip = make("clip.ts", {"-c:v", "mpeg2video", "-c:a", "mp2"});
    const long n = long(clip.size() / 188), a = n / 3, b = 2 * n / 3;
    auto packets = [&](long from, long to) { return Bytes(clip.begin() + from * 188, clip.begin() + to * 188); };
    auto junk = [](size_t count) {
        Bytes bytes(count);
        for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t(i * 37 + 11);
        return bytes;
    };
    auto joined = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Bytes parts[] = {joined(packets(0, a), Bytes(131, 0x00)), joined(packets(a - 120, b), junk(150)),
                           joined(junk(70), packets(b - 300, n))};
    for (unsigned i = 0; i < 3; ++i) ASSERT_TRUE(write_file(dir_.file(build::part_name("rec.ts", i)), parts[i]));

    RunResult run = run_varnek({"-salvage:out.ts", "rec.ts"}, dir_.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("; left out: 351 bytes outside packets, 420 packets repeated at part joins; "
                           "added: header record, PAT, PMT\n'out.ts': intact\n"),
              std::string::npos)
        << run.out;
    Bytes out = read_file(dir_.file("out.ts"));
    ASSERT_EQ(out.size(), clip.size() + 3 * 188);
    EXPECT_TRUE(std::equal(clip.begin(), clip.end(), out.begin() + 3 * 188));

    expect_same_streams(probe("out.ts"), probe("clip.ts"), 0.05);
}

// -check's continuity count against ffmpeg's own: packets taken out of
// video and audio whose counters differ, so that each of ffmpeg's
// "Continuity check failed" messages (it may print one twice) is one error.
TEST_F(FfmpegRecording, ContinuityCountAgreesWithFfmpeg) {
    Bytes rec = make("clip.ts", {"-c:v", "mpeg2video", "-c:a", "mp2"});
    std::set<unsigned> taken_cc;
    unsigned dropped = 0;
    for (size_t at = 188 * 300; at + 188 <= rec.size() && dropped < 5; at += 188 * 131) {
        unsigned pid = pid_at(rec, at), cc = rec[at + 3] & 0x0F;
        if ((pid != 0x100 && pid != 0x101) || !payload_only(rec, at) || taken_cc.count(pid << 4 | cc)) continue;
        taken_cc.insert(pid << 4 | cc);
        rec.erase(rec.begin() + long(at), rec.begin() + long(at + 188));
        ++dropped;
    }
    ASSERT_EQ(dropped, 5u);
    // A counter repeated on a packet of other content: 15 packets lost, and
    // the packet behind it does not follow either (two messages).
    for (size_t at = 188 * 1500, before = 0; at + 188 <= rec.size(); at += 188) {
        if (pid_at(rec, at) != 0x100 || !payload_only(rec, at)) continue;
        if (before != 0 && !(rec[at + 1] & 0x40)) {
            rec[at + 3] = uint8_t((rec[at + 3] & 0xF0) | (rec[before + 3] & 0x0F));
            break;
        }
        before = at;
    }
    ASSERT_TRUE(write_file(dir_.file("rec.ts"), rec));
    RunResult ff = run_program(ffmpeg_, {"-nostdin", "-loglevel", "debug", "-i", "rec.ts", "-f", "null", "-"},
                               dir_.path());
    std::set<std::string> messages;
    std::stringstream lines(ff.err);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find("Continuity check failed");
        if (at != std::string::npos) messages.insert(line.substr(at));
    }
    EXPECT_EQ(varnek_json({"-check", "rec.ts"}, 1)["check"]["counts"]["continuity"], messages.size());
    EXPECT_EQ(messages.size(), 7u);
}

// Per PID, -check counts the packets that ffprobe reads one by one, and
// finds the first and last PTS and PCR that ffprobe finds.
TEST_F(FfmpegRecording, PidCountsAndClocksAgreeWithProbe) {
    // One audio frame per PES packet, so that ffprobe's packets are the PES packets.
    make("clip.ts", {"-c:v", "mpeg2video", "-c:a", "mp2", "-pes_payload_size", "0"});
    // ffprobe's packets and first and last clocks per PID, in ms.
    struct Clocks { uint64_t packets = 0; Json pts, pcr; };
    std::map<unsigned, Clocks> probe;
    auto seen = [](Json& clock, int64_t ms) {
        if (clock.is_null()) clock["first_ms"] = ms;
        clock["last_ms"] = ms;
    };
    // Every transport packet (the raw reader) with its bytes, and the PCR in
    // 27 MHz as its time where the packet carries one.
    Json raw = ffprobe({"-f", "mpegtsraw", "-compute_pcr", "1", "-show_packets", "-show_data"}, "clip.ts");
    uint64_t total = 0;
    for (const Json& packet : raw["packets"]) {
        unsigned b[6];  // the packet's first bytes, from the hex dump "\n00000000: 4740 1110 0042 ..."
        const std::string data = packet.value("data", "");
        int n = std::sscanf(data.c_str(), " 00000000: %2x%2x %2x%2x %2x%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
        ASSERT_EQ(n, 6) << packet;
        Clocks& c = probe[(b[1] & 0x1F) << 8 | b[2]];
        ++c.packets;
        ++total;
        if ((b[3] & 0x20) && b[4] > 0 && (b[5] & 0x10)) seen(c.pcr, packet.value("pts", int64_t(-1)) / 300 / 90);
    }
    // The PES packets of each stream, in the file's order.
    Json pes = ffprobe({"-show_entries", "stream=index,id:packet=stream_index,pts"}, "clip.ts");
    std::map<int, unsigned> pid_of;
    for (const Json& s : pes["streams"]) pid_of[s.value("index", -1)] = hex(s.value("id", ""));
    for (const Json& packet : pes["packets"])
        if (packet.contains("pts"))
            seen(probe[pid_of.at(packet["stream_index"])].pts, packet["pts"].get<int64_t>() / 90);
    ASSERT_GE(probe.size(), 4u);

    // The tool's object: the PID list's clocks and the check's packets per PID.
    Json o = varnek_json({"-check", "clip.ts"}, 1);  // damaged: no header record
    EXPECT_EQ(o["check"]["packets"], total);
    std::map<unsigned, Json> rows = by_pid(o["pids"]), counted = by_pid(o["check"]["pids"]);
    auto first_last = [](Json clock) {
        if (clock.is_object()) clock.erase("span_ms");
        return clock;
    };
    for (const auto& [pid, c] : probe) {
        SCOPED_TRACE("PID " + std::to_string(pid));
        ASSERT_TRUE(rows.count(pid) && counted.count(pid)) << o;
        EXPECT_EQ(counted[pid]["packets"], c.packets);
        EXPECT_EQ(first_last(rows[pid]["pts"]), c.pts);
        EXPECT_EQ(first_last(rows[pid]["pcr"]), c.pcr);
    }
}

}  // namespace
