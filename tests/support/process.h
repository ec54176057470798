// Test support: running a program and capturing what it prints, a fresh
// temporary directory per test, whole-file reading and writing, and file
// access and modification times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace varnek::test {

using Bytes = std::vector<uint8_t>;

struct RunResult {
    bool started = false;   // false: the program could not be run (see out/err)
    int exit_code = -1;     // the exit status; 128 + signal when killed by one
    int signal = 0;         // the signal that ended it, else 0
    std::string out;        // standard output, byte for byte
    std::string err;        // standard error, byte for byte
};

struct RunRequest {
    std::string program;             // path of the program
    std::vector<std::string> args;   // arguments behind the program name
    std::string workdir;             // empty: the current directory
    std::vector<std::string> env;    // "NAME=value", added to (or replacing in) the environment
};

// Runs the program directly (no shell) with standard input from /dev/null
// and waits for it.
RunResult run_program(const RunRequest& request);
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workdir = "", const std::vector<std::string>& env = {});

// The tool built with the tests; TZ=UTC unless env names TZ itself.
std::string varnek_binary();
RunResult run_varnek(const std::vector<std::string>& args, const std::string& workdir = "",
                     const std::vector<std::string>& env = {});

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

bool read_file(const std::string& path, Bytes& out);
Bytes read_file(const std::string& path);          // empty when it cannot be read
bool write_file(const std::string& path, const Bytes& bytes);
bool write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
int64_t file_size(const std::string& path);        // -1 when missing

// Access and modification times, seconds since the epoch plus nanoseconds.
struct FileTimes {
    int64_t access_s = 0;
    long access_ns = 0;
    int64_t modify_s = 0;
    long modify_ns = 0;
};
bool get_file_times(const std::string& path, FileTimes& out);
bool set_file_times(const std::string& path, const FileTimes& times);
bool set_file_times(const std::string& path, int64_t access_s, int64_t modify_s);

}  // namespace varnek::test
