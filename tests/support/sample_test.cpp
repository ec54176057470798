// The sample program: its usage text, and the archive that -count:N writes,
// read back by the tool. (Its default recording is pinned by the README's
// examples.)
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <sstream>

#include "programs.h"

namespace t = varnek::test;
using Json = nlohmann::json;

namespace {

t::RunResult run_sample(const std::vector<std::string>& args, const std::string& dir) {
    return t::run_program(VARNEK_SAMPLE_BINARY, args, dir);
}

TEST(Sample, CommandLine) {
    const struct { std::vector<std::string> args; int code; bool usage_out; } rows[] = {
        {{"--help"}, 0, true},  // once it made a folder named --help
        {{"-h"}, 0, true},
        {{"out", "-help"}, 0, true},
        {{"-count:0"}, 2, false},
        {{"-count:10001"}, 2, false},
        {{"-count:x"}, 2, false},
        {{"-count:"}, 2, false},
        {{"-unknown"}, 2, false},
        {{"a", "b"}, 2, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        t::TempDir dir;
        t::RunResult r = run_sample(row.args, dir.path());
        EXPECT_EQ(r.exit_code, row.code);
        EXPECT_EQ(r.out.rfind("Usage: varnek-sample [directory] [-count:N]", 0) == 0, row.usage_out) << r.out;
        EXPECT_EQ(r.err.find("Usage: varnek-sample") != std::string::npos, !row.usage_out) << r.err;
        EXPECT_EQ(t::folder_names(dir.path()), std::vector<std::string>{});  // nothing written
    }
}

// Twelve recordings, all different: 10 s to 10 min, MPEG-2 and H.264, with
// and without the receiver's packets, some in parts; the tool reads each.
TEST(Sample, ArchiveOfDifferentRecordings) {
    t::TempDir dir;
    t::RunResult made = run_sample({"archive", "-count:12"}, dir.path());
    ASSERT_EQ(made.exit_code, 0) << made.err;
    EXPECT_EQ(std::count(made.out.begin(), made.out.end(), '\n'), 12);
    t::RunResult json = t::run_varnek({"-json", "archive"}, dir.path());
    ASSERT_EQ(json.exit_code, 0) << json.err;
    std::istringstream lines(json.out);
    std::set<unsigned> durations, video_types, part_counts;
    std::set<bool> with_header;
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        Json o = Json::parse(line);
        names.insert(o["recording"].get<std::string>());
        with_header.insert(!o["header"].is_null());
        // The record's duration, else the one the clocks give.
        durations.insert(o["header"].is_null() ? unsigned(o["duration_s"]) : unsigned(o["header"]["duration_s"]));
        video_types.insert(unsigned(o["pmt"]["streams"][0]["type"]));
        part_counts.insert(unsigned(o["parts"].size()));
    }
    EXPECT_EQ(names.size(), 12u);
    EXPECT_EQ(durations.size(), 12u);
    EXPECT_EQ(*durations.begin(), 10u);
    EXPECT_EQ(*durations.rbegin(), 600u);
    EXPECT_EQ(video_types, (std::set<unsigned>{0x02, 0x1B}));
    EXPECT_EQ(with_header, (std::set<bool>{false, true}));
    EXPECT_EQ(part_counts, (std::set<unsigned>{1, 2, 3}));
}

}  // namespace
