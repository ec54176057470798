// -json: one object per recording on standard output, nothing else there.
// Each is compared whole, its keys' order and its numbers' form included,
// with the object written out here.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "builder.h"
#include "programs.h"

namespace b = varnek::build;
namespace t = varnek::test;
using Json = nlohmann::json;

namespace {

// 60 s from 2026-11-28 20:15 by its header record; two CHNM packets, in ISO
// 8859-1 as receivers write them: the header names the channel of the
// last, "texts" holds the first.
b::Recipe receiver(uint64_t body, uint64_t part_packets = 0) {
    b::ReceiverFields f;
    f.duration_s = 60;
    f.mjd = b::mjd_from_date(2026, 11, 28);
    f.start_hour = 20;
    f.start_minute = 15;
    f.event = "Evening";
    f.short_text = "Short";
    f.channel = "Chan\xE9 One";
    b::Recipe r = b::receiver_recipe(f);
    r.head.insert(r.head.begin() + 4, b::qbx_packet("CHNM", "Chan\xE9 Two"));
    r.body_packets = body;
    r.part_packets = part_packets;
    return r;
}

// What a receiver() recording shows of its head (QBX packets 0..4, PAT 5,
// PMT 6), and its texts.
const std::string head =
    R"("header":{"part":0,"offset":0,"program":1,"duration_s":60,"start":"2026-11-28T20:15:00","pmt_pid":100,)"
    R"("video_pid":256,"audio_pid":257,"pcr_pid":256,"streams":[{"pid":256,"type":2,"label":"Video Mpeg2"},)"
    R"({"pid":257,"type":3,"label":"Audio Mpeg1"},{"pid":100,"type":226,"label":"PMT"}],"channel":"Chan)"
    "\xC3\xA9"
    R"( Two"},"last_qbx":{"part":0,"offset":752},"pat":{"part":0,"offset":940,"crc32":"09B5DC88","crc_ok":true},)"
    R"("pmt":{"part":0,"offset":1128,"program":1,"pid":100,"pcr_pid":256,"streams":[{"pid":256,"type":2,)"
    R"("label":"Video Mpeg2"},{"pid":257,"type":3,"label":"Audio Mpeg1"}]})";
const std::string texts = R"("texts":{"CHNM":"Chan)" "\xC3\xA9" R"( One","EVNT":"Evening","SHRT":"Short"})";
const std::string no_texts = R"("texts":{"CHNM":null,"EVNT":null,"SHRT":null})";

// rec.ts in two parts, read at head and tail, up to its repairs.
const std::string rec_scan =
    R"({"recording":"rec.ts","parts":[{"name":"rec.ts","size":752000},{"name":"rec.ts1","size":377316}],)"
    R"("scan":"head-tail",)" + head +
    R"(,"pids":[{"pid":511,"label":"Tavrix","packets":5,"pts":null,"pcr":null},)"
    R"({"pid":0,"label":"PAT","packets":21,"pts":null,"pcr":null},)"
    R"({"pid":100,"label":"PMT","packets":21,"pts":null,"pcr":null},)"
    R"({"pid":256,"label":"Video Mpeg2","packets":3495,"pts":{"first_ms":10500,"last_ms":13460,"span_ms":2960},)"
    R"("pcr":{"first_ms":10000,"last_ms":12960,"span_ms":2960}},)"
    R"({"pid":257,"label":"Audio Mpeg1","packets":368,"pts":{"first_ms":10500,"last_ms":13476,"span_ms":2976},)"
    R"("pcr":null},{"pid":8191,"label":"Null","packets":78,"pts":null,"pcr":null}],)"
    R"("duration_s":2,"duration_from":"pts","sync_losses":[],)";
const std::string rec = rec_scan + R"("repairs":[],"error":null,)" + texts + "}";

TEST(Json, ObjectsWrittenOut) {
    t::TempDir dir;
    b::Recipe bare;  // no header record, no PAT, no PMT
    bare.body_packets = 3000;
    b::Recipe damaged = receiver(6000);  // the second damage hits no sync byte
    damaged.sync_damage = {1500 * 188, 4500 * 188 + 17};
    ASSERT_TRUE(b::write_recording(receiver(6000, 4000), dir.file("rec.ts")).ok);
    ASSERT_TRUE(b::write_recording(bare, dir.file("bare.ts")).ok);
    ASSERT_TRUE(b::write_recording(damaged, dir.file("damaged.ts")).ok);
    const std::string prn = R"({"recording":"rec.ts","tag":)";
    const struct { std::vector<std::string> args; std::string out, err; int exit_code; } rows[] = {
        {{"-json", "rec.ts", "bare.ts", "missing.ts"},
         rec + "\n" +
             R"({"recording":"bare.ts","parts":[{"name":"bare.ts","size":564000}],"scan":"head-tail",)"
             R"("header":null,"last_qbx":null,"pat":null,"pmt":null,"pids":[{"pid":256,"label":"no PMT",)"
             R"("packets":2706,"pts":{"first_ms":10500,"last_ms":11980,"span_ms":1480},)"
             R"("pcr":{"first_ms":10000,"last_ms":11480,"span_ms":1480}},{"pid":257,"label":"no PMT",)"
             R"("packets":285,"pts":{"first_ms":10500,"last_ms":11988,"span_ms":1488},"pcr":null}],)"
             R"("duration_s":0,"duration_from":null,"sync_losses":[],"repairs":[],"error":null,)" + no_texts + "}\n" +
             R"({"recording":"missing.ts","parts":[],"scan":"head-tail","header":null,"last_qbx":null,"pat":null,)"
             R"("pmt":null,"pids":[],"duration_s":null,"duration_from":null,"sync_losses":[],"repairs":[],)"
             R"("error":"Can't open 'missing.ts' for reading",)" + no_texts + "}\n",
         "Error: Can't open 'missing.ts' for reading!\n", 0},
        {{"-json", "-list", "rec.ts"}, rec + "\n", "", 0},
        // Standard error as without -json; the sync loss in the object too.
        {{"-json", "-all", "damaged.ts"},
         R"({"recording":"damaged.ts","parts":[{"name":"damaged.ts","size":1129316}],"scan":"all",)" + head +
             R"(,"pids":[{"pid":511,"label":"Tavrix","packets":5,"pts":null,"pcr":null},)"
             R"({"pid":0,"label":"PAT","packets":31,"pts":null,"pcr":null},)"
             R"({"pid":100,"label":"PMT","packets":31,"pts":null,"pcr":null},)"
             R"({"pid":256,"label":"Video Mpeg2","packets":5246,)"
             R"("pts":{"first_ms":10500,"last_ms":13460,"span_ms":2960},)"
             R"("pcr":{"first_ms":10000,"last_ms":12960,"span_ms":2960}},)"
             R"({"pid":257,"label":"Audio Mpeg1","packets":551,)"
             R"("pts":{"first_ms":10500,"last_ms":13476,"span_ms":2976},"pcr":null},)"
             R"({"pid":8191,"label":"Null","packets":119,"pts":null,"pcr":null}],"duration_s":2,)"
             R"("duration_from":"pts","sync_losses":[{"part":0,"offset":281624,"resync":282188}],"repairs":[],)"
             R"("error":null,)" + texts + "}\n",
         "\nSync lost at 00044C18 ==> ReSync at 00044E4C\n", 0},
        // -prn: gives the texts the text mode prints, and ends after the first recording.
        {{"-prn:CHNM", "-json", "rec.ts", "bare.ts"},
         prn + R"("CHNM","texts":["Chan)" "\xC3\xA9" R"( One","Chan)" "\xC3\xA9" R"( Two"],"error":null})" "\n", "", 0},
        {{"-prn:EVNT", "-json", "rec.ts", "bare.ts"}, prn + R"("EVNT","texts":["Evening"],"error":null})" "\n", "", 0},
        {{"-prn:DateTime", "-json", "rec.ts", "bare.ts"},
         prn + R"("DateTime","texts":["2026-11-28-20-15"],"error":null})" "\n", "", 0},
        // A repair that fails: in the object, and on the error line.
        {{"rec.ts", "-put:missing.bin", "-force", "-json"},
         rec_scan + R"("repairs":[{"action":"put","ok":false,"message":"Can't open 'missing.bin' for reading"}],)"
             R"("error":null,)" + texts + "}\n",
         "Error: Can't open 'missing.bin' for reading!\n", 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        // In another zone than UTC: "start" is the list line's instant, in local time.
        t::RunResult r = t::run_varnek(row.args, dir.path(), {"TZ=Europe/Berlin"});
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.exit_code, row.exit_code);
    }
    // "texts" is the last key, behind -check's too, so that every other key keeps its place.
    t::RunResult r = t::run_varnek({"-json", "-check", "rec.ts"}, dir.path());
    const std::string end = "]}," + texts + "}\n";
    ASSERT_GE(r.out.size(), end.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
}

// The repairs' messages, successes and errors, in the order printed, as the
// text mode carries them out; the object tells what the scan found before them.
TEST(Json, RepairsInTheirOrder) {
    t::TempDir dir;
    const b::Recipe tables = b::tables_recipe();  // PAT and PMT, no header record
    ASSERT_TRUE(b::write_recording(tables, dir.file("text.ts")).ok);
    ASSERT_TRUE(b::write_recording(tables, dir.file("json.ts")).ok);
    t::run_varnek({"text.ts", "-fixqbx", "-fixpat", "-get:out.qbxh"}, dir.path());
    t::RunResult json = t::run_varnek({"json.ts", "-fixqbx", "-fixpat", "-get:out2.qbxh", "-json"}, dir.path());
    EXPECT_EQ(t::read_file(dir.file("text.ts")), t::read_file(dir.file("json.ts")));
    Json o = Json::parse(json.out, nullptr, false);
    EXPECT_TRUE(o["header"].is_null()) << json.out;
    EXPECT_EQ(o["repairs"], Json::parse(R"([
        {"action": "fixqbx", "ok": true, "message": "Overwrite 1. ts packet with QBX"},
        {"action": "fixqbx", "ok": true, "message": "Overwrite 2. ts packet with PAT"},
        {"action": "fixqbx", "ok": true, "message": "Overwrite 3. ts packet with PMT"},
        {"action": "fixpat", "ok": true, "message": "PAT already exists"},
        {"action": "get", "ok": true, "message": "Write first ts packet to: 'out2.qbxh'"}])"));
}

// Names that shells and JSON writers trip over, read back with jq.
TEST(Json, OddNamesParseWithJq) {
    VARNEK_NOT_ON_WINDOWS("jq is a tool of the build machine, and a name that is no UTF-8 cannot be stored");
    VARNEK_NEED_PROGRAM("jq");
    t::TempDir dir;
    std::vector<std::string> args = {"-json"};
    for (const char* name :
         {"with blank.ts", "quote\"s.ts", "new\nline.ts", "latin\xE9.ts", "back\\slash.ts", "tab\t.ts"}) {
        ASSERT_TRUE(b::write_recording(receiver(1500), dir.file(name)).ok);
        args.push_back(name);
    }
    ASSERT_TRUE(t::write_file(dir.file("lines.json"), t::run_varnek(args, dir.path()).out));
    t::RunResult jq =
        t::run_program("jq", {"-c", "[.recording, .header.channel, .duration_s]", "lines.json"}, dir.path());
    EXPECT_EQ(jq.exit_code, 0) << jq.err;
    const std::string channel = ",\"Chan\xC3\xA9 Two\",0]\n";
    // The name that is no UTF-8 is read as ISO 8859-1.
    EXPECT_EQ(jq.out, R"(["with blank.ts")" + channel + R"(["quote\"s.ts")" + channel + R"(["new\nline.ts")" + channel +
                          "[\"latin\xC3\xA9.ts\"" + channel + R"(["back\\slash.ts")" + channel +
                          R"(["tab\t.ts")" + channel);
}

}  // namespace
