// bench-probe: runs a command with its output on /dev/null and prints what
// no timing tool reports: the bytes it read through read() calls (rchar)
// and its peak resident memory.
//
//   bench-probe COMMAND [ARGUMENTS...]   prints "rchar N maxrss_kib N"
//
// rchar is taken from /proc while the child is a zombie (waitid with
// WNOWAIT); the peak memory comes from wait4. Exits 1 when the command
// fails.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

bool read_rchar(pid_t pid, unsigned long long& rchar) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/io", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char line[128];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, "rchar: %llu", &rchar) == 1;
    std::fclose(f);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: bench-probe COMMAND [ARGUMENTS...]\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    if (pid < 0) return 1;
    siginfo_t info{};
    unsigned long long rchar = 0;
    bool have_rchar = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0 && read_rchar(pid, rchar);
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench-probe: '%s' failed\n", argv[1]);
        return 1;
    }
    if (have_rchar)
        std::printf("rchar %llu maxrss_kib %ld\n", rchar, usage.ru_maxrss);
    else
        std::printf("rchar - maxrss_kib %ld\n", usage.ru_maxrss);
    return 0;
}
