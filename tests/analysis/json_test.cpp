// -json: one object per recording on standard output, nothing else there.
// Each object is parsed and its fields are rendered back into the report's
// own line formats, which must stand in the text report of the same file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "builder.h"
#include "programs.h"
#include "util/output.h"

namespace b = varnek::build;
namespace t = varnek::test;
using Json = nlohmann::json;

namespace {

std::vector<Json> json_lines(const std::string& out) {
    std::vector<Json> objects;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) objects.push_back(Json::parse(line, nullptr, false));
    return objects;
}

std::string text(const char* format, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
    char line[256];
    std::snprintf(line, sizeof line, format, a, b, c, d);
    return line;
}

// The report lines that the object's fields stand for.
std::vector<std::string> report_lines(const Json& o) {
    std::vector<std::string> lines;
    if (!o["header"].is_null()) {
        const Json& h = o["header"];
        lines.push_back(text(" Program:   %u\n", h["program"]));
        lines.push_back(std::string(" Duration:  ") + varnek::format_hms(h["duration_s"]) + "\n");
        lines.push_back(text(" PID => PMT %u / Video %u / Audio %u / PCR %u\n", h["pmt_pid"], h["video_pid"],
                             h["audio_pid"], h["pcr_pid"]));
        for (const Json& s : h["streams"]) {
            char line[128];
            std::snprintf(line, sizeof line, "\t%4u %-12s (0x%X)\n", unsigned(s["pid"]),
                          s["label"].get<std::string>().c_str(), unsigned(s["type"]));
            lines.push_back(line);
        }
        uint64_t last = o["last_qbx"]["offset"];
        lines.push_back(text(" Offset:    0x%X (%u)\n", unsigned(last), unsigned(last / 188)));
    }
    if (!o["pat"].is_null()) {
        uint64_t at = o["pat"]["offset"];
        lines.push_back(text("\nPAT\n Offset:  0x%X (%u)\n", unsigned(at), unsigned(at / 188)));
        lines.push_back(" CRC32:   " + o["pat"]["crc32"].get<std::string>() + "\n");
    }
    if (!o["pmt"].is_null()) {
        const Json& m = o["pmt"];
        uint64_t at = m["offset"];
        lines.push_back(text("\nPMT\n Offset:  0x%X (%u)\n Program: %u\n", unsigned(at), unsigned(at / 188),
                             m["program"]));
        lines.push_back(text(" PID => PMT %u / PCR %u\n", m["pid"], m["pcr_pid"]));
    }
    unsigned n = 0;
    std::string stars;
    for (const Json& row : o["pids"]) {
        char line[256];
        std::snprintf(line, sizeof line, "%2u %4u %8u %-11s", ++n, unsigned(row["pid"]), unsigned(row["packets"]),
                      row["label"].get<std::string>().c_str());
        std::string full = line;
        for (const char* clock : {"pts", "pcr"}) {
            const Json& c = row[clock];
            if (c.is_null()) continue;
            if (std::string(clock) == "pcr") full += "\n" + std::string(28, ' ');
            full += std::string(" ") + (std::string(clock) == "pts" ? "PTS:" : "PCR:");
            for (const char* key : {"first_ms", "last_ms", "span_ms"})
                full += std::string(" ") + varnek::format_ms(c[key]);
            // On the PCR PID the PTS span sets the duration first; the PCR
            // span replaces it when duration_from says so.
            bool pcr_pid = !o["pmt"].is_null() && row["pid"] == o["pmt"]["pcr_pid"];
            if (pcr_pid && (std::string(clock) == "pts" || o["duration_from"] == "pcr")) full += "*";
        }
        lines.push_back("\n" + full);
    }
    unsigned d = o["duration_s"];
    lines.push_back(text(" Duration:  %02u:%02u:%02u\n\n", d / 3600, d / 60 % 60, d % 60));
    return lines;
}

std::string sync_text(const Json& o) {
    std::string err;
    for (const Json& loss : o["sync_losses"]) {
        char line[128];
        std::snprintf(line, sizeof line, "\nSync lost at %08llX", (unsigned long long)loss["offset"]);
        err += line;
        if (!loss["resync"].is_null()) {
            std::snprintf(line, sizeof line, " ==> ReSync at %08llX\n", (unsigned long long)loss["resync"]);
            err += line;
        }
    }
    return err;
}

b::Recipe receiver(uint64_t body, uint64_t part_packets = 0) {
    b::ReceiverFields f;
    f.duration_s = 60;
    f.mjd = b::mjd_from_date(2026, 11, 28);
    f.start_hour = 20;
    f.start_minute = 15;
    f.event = "Evening";
    f.short_text = "Short";
    f.channel = "Chan\xE9 One";  // ISO 8859-1, as receivers write it
    b::Recipe r = b::receiver_recipe(f);
    r.body_packets = body;
    r.part_packets = part_packets;
    return r;
}

TEST(Json, ObjectsTellWhatTheReportTells) {
    b::Recipe bare;  // no header record, no PAT, no PMT
    bare.body_packets = 3000;
    b::Recipe damaged = receiver(6000);
    damaged.sync_damage = {1500 * 188, 4500 * 188 + 17};
    const struct { const char* name; b::Recipe recipe; std::vector<std::string> options; } rows[] = {
        {"parts", receiver(6000, 4000), {}},
        {"parts -all", receiver(6000, 4000), {"-all"}},
        {"bare", bare, {}},
        {"damaged -all", damaged, {"-all"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        t::TempDir dir;
        b::WriteResult w = b::write_recording(row.recipe, dir.file("rec.ts"));
        ASSERT_TRUE(w.ok) << w.error;
        std::vector<std::string> args = row.options;
        args.push_back("rec.ts");
        t::RunResult report = t::run_varnek(args, dir.path());
        args.push_back("-json");
        t::RunResult json = t::run_varnek(args, dir.path());
        ASSERT_EQ(json.exit_code, 0);
        std::vector<Json> objects = json_lines(json.out);
        ASSERT_EQ(objects.size(), 1u) << json.out;
        const Json& o = objects[0];
        ASSERT_FALSE(o.is_discarded()) << json.out;
        EXPECT_EQ(o["recording"], "rec.ts");
        EXPECT_EQ(o["scan"], row.options.empty() ? "head-tail" : "all");
        ASSERT_EQ(o["parts"].size(), w.files.size());
        for (size_t i = 0; i < w.files.size(); ++i) {
            EXPECT_EQ(o["parts"][i]["name"], i == 0 ? "rec.ts" : "rec.ts" + std::to_string(i));
            EXPECT_EQ(o["parts"][i]["size"], t::read_file(w.files[i]).size());
        }
        for (const std::string& line : report_lines(o)) EXPECT_NE(report.out.find(line), std::string::npos) << line;
        // The report's "*" marks the span that o["duration_from"] names.
        bool star = report.out.find("*") != std::string::npos;
        EXPECT_EQ(o["duration_from"].is_null(), !star);
        if (star) {
            EXPECT_EQ(o["duration_from"], report.out.find("*\n") < report.out.find("PCR:") ? "pts" : "pcr");
        }
        // Standard error is the same with -json; its Sync lines are the object's sync losses.
        EXPECT_EQ(json.err, report.err);
        EXPECT_EQ(sync_text(o), report.err);
        EXPECT_EQ(o["repairs"], Json::array());
        EXPECT_TRUE(o["error"].is_null());
    }
}

TEST(Json, FieldsOfTheReceiverRecord) {
    t::TempDir dir;
    ASSERT_TRUE(b::write_recording(receiver(3000), dir.file("rec.ts")).ok);
    t::RunResult r = t::run_varnek({"-json", "rec.ts", "missing.ts"}, dir.path(), {"TZ=Europe/Berlin"});
    std::vector<Json> objects = json_lines(r.out);
    ASSERT_EQ(objects.size(), 2u) << r.out;
    const Json& h = objects[0]["header"];
    EXPECT_EQ(h["part"], 0);
    EXPECT_EQ(h["offset"], 0);
    EXPECT_EQ(h["start"], "2026-11-28T20:15:00");  // the list line's instant, in local time
    EXPECT_EQ(h["channel"], "Chan\xC3\xA9 One");    // é from ISO 8859-1, as UTF-8
    EXPECT_EQ(objects[0]["last_qbx"], (Json{{"part", 0}, {"offset", 3 * 188}}));
    EXPECT_EQ(objects[0]["pat"]["crc_ok"], true);
    EXPECT_EQ(objects[0]["pmt"]["streams"].size(), 2u);
    // A recording that cannot be opened: its object with the error, and the error line.
    EXPECT_EQ(objects[1]["error"], "Can't open 'missing.ts' for reading");
    EXPECT_TRUE(objects[1]["header"].is_null());
    EXPECT_EQ(objects[1]["pids"], Json::array());
    EXPECT_EQ(r.err, "Error: Can't open 'missing.ts' for reading!\n");
}

TEST(Json, TagTextsAndRepairs) {
    t::TempDir dir;
    b::Recipe bare;
    bare.head = {b::pat_packet({{1, 0x64}})};
    bare.head.push_back(b::pmt_packet(b::pmt_for(bare)));
    bare.body_packets = 3000;
    ASSERT_TRUE(b::write_recording(receiver(3000), dir.file("rec.ts")).ok);
    ASSERT_TRUE(b::write_recording(bare, dir.file("bare.ts")).ok);
    ASSERT_TRUE(b::write_recording(bare, dir.file("copy.ts")).ok);

    // -prn: gives the texts the text mode prints, and ends after the first recording.
    for (const char* tag : {"CHNM", "EVNT", "DateTime"}) {
        t::RunResult text = t::run_varnek({std::string("-prn:") + tag, "rec.ts", "bare.ts"}, dir.path());
        t::RunResult json = t::run_varnek({std::string("-prn:") + tag, "-json", "rec.ts", "bare.ts"}, dir.path());
        std::vector<Json> objects = json_lines(json.out);
        ASSERT_EQ(objects.size(), 1u) << json.out;
        EXPECT_EQ(objects[0]["tag"], tag);
        std::string joined;
        for (const Json& s : objects[0]["texts"]) joined += s.get<std::string>();
        EXPECT_EQ(joined, tag == std::string("CHNM") ? "Chan\xC3\xA9 One" : text.out);
    }

    // The repairs' messages, successes and errors, in the order printed; the
    // object tells what the scan found before them.
    t::RunResult text = t::run_varnek({"bare.ts", "-fixqbx", "-fixpat", "-get:out.qbxh"}, dir.path());
    t::RunResult json = t::run_varnek({"copy.ts", "-fixqbx", "-fixpat", "-get:out2.qbxh", "-json"}, dir.path());
    EXPECT_EQ(t::read_file(dir.file("bare.ts")), t::read_file(dir.file("copy.ts")));
    std::vector<Json> objects = json_lines(json.out);
    ASSERT_EQ(objects.size(), 1u) << json.out;
    EXPECT_TRUE(objects[0]["header"].is_null());
    const Json expected = Json::array({
        {{"action", "fixqbx"}, {"ok", true}, {"message", "Overwrite 1. ts packet with QBX"}},
        {{"action", "fixqbx"}, {"ok", true}, {"message", "Overwrite 2. ts packet with PAT"}},
        {{"action", "fixqbx"}, {"ok", true}, {"message", "Overwrite 3. ts packet with PMT"}},
        {{"action", "fixpat"}, {"ok", true}, {"message", "PAT already exists"}},
        {{"action", "get"}, {"ok", true}, {"message", "Write first ts packet to: 'out2.qbxh'"}},
    });
    EXPECT_EQ(objects[0]["repairs"], expected);
    EXPECT_NE(text.out.find("Overwrite 3. ts packet with PMT\nPAT already exists\n"), std::string::npos);

    json = t::run_varnek({"rec.ts", "-put:missing.bin", "-force", "-json"}, dir.path());
    objects = json_lines(json.out);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0]["repairs"], Json::array({{{"action", "put"}, {"ok", false},
                                                   {"message", "Can't open 'missing.bin' for reading"}}}));
    EXPECT_EQ(json.err, "Error: Can't open 'missing.bin' for reading!\n");
}

// Names that shells and JSON writers trip over, read back with jq.
TEST(Json, OddNamesParseWithJq) {
    VARNEK_NOT_ON_WINDOWS("jq is a tool of the build machine, and a name that is no UTF-8 cannot be stored");
    VARNEK_NEED_PROGRAM("jq");
    t::TempDir dir;
    const std::vector<std::string> names = {"with blank.ts", "quote\"s.ts", "new\nline.ts", "latin\xE9.ts",
                                            "back\\slash.ts", "tab\t.ts"};
    b::Recipe r = receiver(1500);
    std::vector<std::string> args = {"-json"};
    for (const std::string& name : names) {
        ASSERT_TRUE(b::write_recording(r, dir.file(name)).ok);
        args.push_back(name);
    }
    t::RunResult json = t::run_varnek(args, dir.path());
    ASSERT_TRUE(t::write_file(dir.file("lines.json"), json.out));
    t::RunResult jq = t::run_program("/bin/sh", {"-c", "jq -c '[.recording, .header.channel, .duration_s]' lines.json"},
                                     dir.path());
    EXPECT_EQ(jq.exit_code, 0) << jq.err;
    std::vector<Json> rows = json_lines(jq.out);
    ASSERT_EQ(rows.size(), names.size()) << json.out;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string expected = names[i] == "latin\xE9.ts" ? "latin\xC3\xA9.ts" : names[i];
        EXPECT_EQ(rows[i][0], expected);
        EXPECT_EQ(rows[i][1], "Chan\xC3\xA9 One");
    }
}

}  // namespace

namespace {

// "texts": the text of the first QBX packet of each tag, or null; the last
// key, so that every other key keeps its place, behind -check's too.
TEST(Json, TextsOfTheFirstPacketOfEachTag) {
    t::TempDir dir;
    b::Recipe twice = receiver(1500);
    twice.head.insert(twice.head.begin() + 4, b::qbx_packet("CHNM", "Second"));  // behind the first CHNM
    b::Recipe bare;
    bare.body_packets = 1500;
    ASSERT_TRUE(b::write_recording(twice, dir.file("rec.ts")).ok);
    ASSERT_TRUE(b::write_recording(bare, dir.file("bare.ts")).ok);
    const std::string texts = R"("texts":{"CHNM":"Chan)" "\xC3\xA9" R"( One","EVNT":"Evening","SHRT":"Short"}})";
    const std::string none = R"("texts":{"CHNM":null,"EVNT":null,"SHRT":null}})";
    const struct { std::vector<std::string> args; std::vector<std::string> ends; } rows[] = {
        {{"-json", "rec.ts", "bare.ts", "missing.ts"},
         {R"("error":null,)" + texts, R"("error":null,)" + none, R"(for reading",)" + none}},
        {{"-json", "-list", "rec.ts"}, {R"("error":null,)" + texts}},
        {{"-json", "-check", "rec.ts"}, {R"(]},)" + texts}},  // the end of "check", then the texts
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        t::RunResult r = t::run_varnek(row.args, dir.path());
        std::istringstream lines(r.out);
        std::string line;
        for (const std::string& end : row.ends) {
            ASSERT_TRUE(std::getline(lines, line));
            ASSERT_GE(line.size(), end.size());
            EXPECT_EQ(line.substr(line.size() - end.size()), end);
        }
        EXPECT_FALSE(std::getline(lines, line)) << line;
    }
}

}  // namespace
