// Test support: running the tool and capturing what it prints, a fresh
// temporary directory per test, whole-file reading and writing, and file
// access and modification times.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "portable.h"
#include "runner.h"

namespace varnek::test {

using Bytes = std::vector<uint8_t>;

using runner::no_size_limit;
using runner::run_program;
using runner::RunRequest;
using runner::RunResult;

// A program with its arguments, in workdir, with env added.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workdir = "", const std::vector<std::string>& env = {});

// The tool built with the tests; TZ=UTC unless env names TZ itself, and its
// undo files in test_undo_dir() unless env names VARNEK_UNDO_DIR.
std::string test_undo_dir();
std::string varnek_binary();
RunResult run_varnek(const std::vector<std::string>& args, const std::string& workdir = "",
                     const std::vector<std::string>& env = {});
// The tool in dir under a file-size limit (a write beyond it fails with an
// error instead of a signal) and, if asked, as the user nobody; env as for
// run_varnek.
RunResult run_varnek_restricted(std::vector<std::string> args, const std::string& dir,
                                uint64_t size_limit = no_size_limit, bool as_nobody = false,
                                const std::function<void()>& meanwhile = {},
                                const std::vector<std::string>& env = {});

// The tool as the user nobody (root only), in dir; env as for run_varnek.
RunResult run_as_nobody(const std::vector<std::string>& args, const std::string& dir,
                        const std::vector<std::string>& env = {});
// The tool under strace with these options, in dir, with TZ=UTC and env (and
// no leak check of a sanitizer build, which cannot run under strace).
RunResult run_under_strace(std::vector<std::string> options, const std::vector<std::string>& args,
                           const std::string& dir, const std::vector<std::string>& env);
// strace's options that stop the tool with SIGKILL on entering the n-th of
// calls (names separated by commas).
std::vector<std::string> kill_at(const std::string& calls, unsigned n);

// What a run printed behind the report's closing duration line.
std::string repair_lines(const std::string& out);

// The report's scan time is the one figure that differs from run to run:
// it reads "Testtime:  #.### s" here.
std::string without_testtime(const std::string& text);

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Bytes read_file(const std::string& path);          // empty when it cannot be read
std::string read_text(const std::string& path);    // the same as text
bool write_file(const std::string& path, const Bytes& bytes);
bool write_file(const std::string& path, const std::string& text);
// Writes bytes over part of an existing file, at any offset.
bool write_at(const std::string& path, uint64_t offset, const uint8_t* bytes, size_t count);
bool file_exists(const std::string& path);
int64_t file_size(const std::string& path);        // -1 when missing

// The bytes and times of files: by default it gives them old times first,
// with keep_times it notes the times they have. check() expects both back,
// the times first (a read may move the access time), with the patches
// (offset, bytes) laid over the first file's old bytes; same() only tells,
// to the nanosecond and without moving the access time for good; restore()
// puts them back in place (the files keep their identity).
struct Unchanged {
    using Patch = std::pair<uint64_t, Bytes>;
    static const varnek::FileTimes old;
    static constexpr bool keep_times = true;
    std::vector<std::string> files;
    std::vector<Bytes> bytes;
    std::vector<varnek::FileTimes> times;

    explicit Unchanged(std::vector<std::string> names, bool keep = false);
    void check(const std::vector<Patch>& patches = {}) const;
    bool same() const;
    void restore() const;
};

// Whether text holds part somewhere.
inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A row of a table that cannot run here: when skip, it is said so, as a
// skipped test would be, and the caller goes on with the next row.
bool skip_row(bool skip, const std::string& what, const std::string& why);

// The names in a folder, sorted; none when it cannot be read.
std::vector<std::string> folder_names(const std::string& folder);
// The environment that puts the tool's undo files into dir's folder "undo".
std::vector<std::string> undo_in(const TempDir& dir);

}  // namespace varnek::test

// A program on the PATH, as far as it can be started.
#define VARNEK_NEED_PROGRAM(name) VARNEK_NEED_TOOL(varnek::test::run_program(name, {"--version"}).started, name)

// A test that needs an outside tool is skipped where the tool is missing,
// with the reason; where every tool must be there (VARNEK_REQUIRE_TOOLS set,
// as tools/check does) it fails instead, so that no test is left out unseen.
#define VARNEK_NEED_TOOL(present, what)                                          \
    do {                                                                         \
        if (!(present)) {                                                        \
            if (std::getenv("VARNEK_REQUIRE_TOOLS")) FAIL() << what << " is missing"; \
            GTEST_SKIP() << what << " is missing";                               \
        }                                                                        \
    } while (0)
