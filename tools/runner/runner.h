// The program runner of the tests and the benchmark: starts a program
// directly (no shell) with standard input from the null device, keeps what
// it prints byte for byte, and tells how it ended. One implementation per
// system family (runner_posix.cpp, runner_windows.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace varnek::runner {

// No file-size limit for a child.
constexpr uint64_t no_size_limit = ~uint64_t(0);

struct RunRequest {
    std::string program;             // path of the program
    std::vector<std::string> args;   // arguments behind the program name
    std::string workdir;             // empty: the current directory
    std::vector<std::string> env;    // "NAME=value", added to (or replacing in) the environment
    uint64_t size_limit = no_size_limit;  // the child's file-size limit; SIGXFSZ is ignored
    bool as_nobody = false;             // the child becomes the user and group nobody (65534)
    bool discard_output = false;        // output and errors thrown away, not kept
    std::function<void()> meanwhile;    // runs in the parent once the child has started
};

struct RunResult {
    bool started = false;   // false: the program could not be run (see out/err)
    int exit_code = -1;     // the exit status; 128 + signal when killed by one
    int signal = 0;         // the signal that ended it, else 0
    std::string out;        // standard output, byte for byte
    std::string err;        // standard error, byte for byte
    int64_t bytes_read = -1;       // what it read through read calls (Linux); -1: not known
    int64_t peak_memory_kib = -1;  // its peak resident memory; -1: not known
};

// Runs the program and waits for it.
RunResult run_program(const RunRequest& request);

}  // namespace varnek::runner
