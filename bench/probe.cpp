// bench-probe: runs a command with its output thrown away and prints what
// no timing tool reports: the bytes it read through read calls (rchar) and
// its peak resident memory.
//
//   bench-probe COMMAND [ARGUMENTS...]   prints "rchar N maxrss_kib N"
//
// Exits 1 when the command fails.
#include <cstdio>

#include "runner.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: bench-probe COMMAND [ARGUMENTS...]\n");
        return 2;
    }
    varnek::runner::RunRequest request;
    request.program = argv[1];
    request.args.assign(argv + 2, argv + argc);
    request.discard_output = true;
    varnek::runner::RunResult r = varnek::runner::run_program(request);
    if (!r.started || r.exit_code != 0) {
        std::fprintf(stderr, "bench-probe: '%s' failed\n", argv[1]);
        return 1;
    }
    if (r.bytes_read >= 0)
        std::printf("rchar %lld maxrss_kib %lld\n", static_cast<long long>(r.bytes_read),
                    static_cast<long long>(r.peak_memory_kib));
    else
        std::printf("rchar - maxrss_kib %lld\n", static_cast<long long>(r.peak_memory_kib));
    return 0;
}
