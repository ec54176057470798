// Part files that are no regular file: every mode ends the recording before
// them with an error line, as before a missing part, instead of reading a
// device without end or waiting for a FIFO's writer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#endif

#include <cstring>

#include "builder.h"
#include "programs.h"

namespace b = varnek::build;
namespace t = varnek::test;

namespace {

TEST(PartFiles, OnlyRegularFilesAreRead) {
#ifdef _WIN32
    VARNEK_NOT_ON_WINDOWS("FIFOs, devices and sockets are POSIX");
#else
    VARNEK_NEED_PROGRAM("timeout");
    const struct { const char* what; void (*make)(const std::string& path); } kinds[] = {
        {"a link to /dev/zero", [](const std::string& p) { ASSERT_EQ(symlink("/dev/zero", p.c_str()), 0); }},
        {"a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
        {"a directory", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }},
        {"a socket",
         [](const std::string& p) {
             int s = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             ASSERT_LT(p.size(), sizeof address.sun_path);
             std::memcpy(address.sun_path, p.c_str(), p.size() + 1);
             ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             close(s);
         }},
    };
    const std::vector<std::vector<std::string>> modes = {
        {}, {"-all"}, {"-list"}, {"-prn:CHNM"}, {"-json"}, {"-check"}, {"-check", "-json"}, {"-fixqbx", "-fixpat"},
    };
    const b::Recipe r = b::dated_receiver_recipe();
    for (const auto& kind : kinds) {
        t::TempDir dir;
        ASSERT_TRUE(b::write_recording(r, dir.file("rec.ts")).ok);
        kind.make(dir.file("rec.ts1"));
        ASSERT_TRUE(b::write_recording(r, dir.file("rec.ts2")).ok);  // never reached
        for (const std::vector<std::string>& mode : modes) {
            SCOPED_TRACE(std::string(kind.what) + (mode.empty() ? "" : " " + mode[0]));
            // A guard only: the run ends at once, or the case fails instead of hanging.
            std::vector<std::string> args = {"-s", "KILL", "60", t::varnek_binary()};
            args.insert(args.end(), mode.begin(), mode.end());
            args.push_back("rec.ts");
            t::RunResult run = t::run_program("timeout", args, dir.path(), {"TZ=UTC", "VARNEK_UNDO_DIR=" + dir.file("undo")});
            EXPECT_EQ(run.signal, 0);
            EXPECT_EQ(run.err, "Error: 'rec.ts1' is not a regular file!\n");
            const bool check = !mode.empty() && mode[0] == "-check";
            if (check) {
                // Never intact: the parts from rec.ts1 on were not read.
                EXPECT_EQ(run.exit_code, 2);
                EXPECT_TRUE(t::has(run.out, "read_error")) << run.out.substr(0, 400);
            } else {
                EXPECT_EQ(run.exit_code, 0);
                EXPECT_EQ(run.out.find("rec.ts1"), std::string::npos) << run.out.substr(0, 400);
            }
            EXPECT_EQ(run.out.find("Analyse: 'rec.ts1'"), std::string::npos);
        }
    }
#endif
}

}  // namespace
