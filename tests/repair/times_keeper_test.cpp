// write_in_place: the recording's times survive a run killed right before
// its write (the old bytes are read without moving the access time), and the
// write is on the disk before its success line.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "builder.h"
#include "programs.h"

namespace b = varnek::build;
namespace t = varnek::test;

namespace {

// The descriptors written with pwrite64 and closed before an fsync, in an
// strace log of pwrite64, fsync and close.
std::vector<std::string> closed_unflushed(const std::string& log, size_t& writes) {
    static const std::regex call(R"(^(pwrite64|fsync|close)\((\d+))");
    std::set<std::string> pending;
    std::vector<std::string> lost;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, call)) continue;
        if (m[1] == "pwrite64") {
            ++writes;
            pending.insert(m[2]);
        } else if (m[1] == "fsync") {
            pending.erase(m[2]);
        } else if (pending.erase(m[2])) {
            lost.push_back(line);
        }
    }
    return lost;
}

TEST(WriteInPlace, TimesKeptAndWriteFlushed) {
    VARNEK_NOT_ON_WINDOWS("strace watches the tool's system calls");
    VARNEK_NEED_PROGRAM("strace");
    struct Row {
        const char* what;
        bool with_record;
        std::vector<std::string> args;
    };
    const std::vector<Row> rows = {
        {"-fixqbx", false, {"-fixqbx"}},
        {"-fixpat -force", true, {"-fixpat", "-force"}},
        {"-put: -force", true, {"-put:h.bin", "-force"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        t::TempDir dir;
        ASSERT_TRUE(b::write_recording(row.with_record ? b::dated_receiver_recipe() : b::tables_recipe(), dir.file("rec.ts")).ok);
        ASSERT_TRUE(t::write_file(dir.file("h.bin"), t::Bytes(188, 0x47)));
        const std::vector<std::string> env = t::undo_in(dir);
        std::vector<std::string> args = row.args;
        args.push_back("rec.ts");

        // Killed at its write into the recording, after the old bytes were
        // read and saved: nothing in the recording moved, its access time neither.
        t::Unchanged kept({dir.file("rec.ts")});
        EXPECT_NE(t::run_under_strace(t::kill_at("pwrite64", 1), args, dir.path(), env).exit_code, 0);
        kept.check();

        // Every write is flushed before the file is closed and the success line printed.
        const std::string log = dir.file("calls.log");
        t::RunResult run = t::run_under_strace({"-qq", "-o", log, "-e", "trace=pwrite64,fsync,close"}, args, dir.path(), env);
        EXPECT_NE(run.out.find("Overwrite"), std::string::npos) << run.out << run.err;
        size_t writes = 0;
        EXPECT_EQ(closed_unflushed(t::read_text(log), writes), std::vector<std::string>{});
        EXPECT_GE(writes, 1u);
    }
}

}  // namespace
