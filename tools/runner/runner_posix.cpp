// The runner on POSIX systems: fork and exec, the output read through pipes.
// What the program read and its peak memory are taken while it is a zombie
// (waitid with WNOWAIT), before wait4 reaps it.
#include "runner.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace varnek::runner {

namespace {

std::string env_name(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::vector<std::string> merged_environment(const std::vector<std::string>& additions) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const std::string& a : additions)
            if (env_name(a) == env_name(entry)) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), additions.begin(), additions.end());
    return env;
}

// rchar of /proc/PID/io: every byte the process read through read calls.
int64_t bytes_read_by(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/io", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (!f) return -1;
    char line[128];
    unsigned long long rchar = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, "rchar: %llu", &rchar) == 1;
    std::fclose(f);
    return found ? int64_t(rchar) : -1;
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

RunResult run_program(const RunRequest& request) {
    RunResult result;

    std::vector<std::string> env = merged_environment(request.env);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(request.program.c_str()));
    for (const std::string& a : request.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int out_pipe[2], err_pipe[2], status_pipe[2];
    if (pipe(out_pipe) != 0) {
        result.err = "pipe failed";
        return result;
    }
    if (pipe(err_pipe) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        result.err = "pipe failed";
        return result;
    }
    if (pipe2(status_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        result.err = "pipe failed";
        return result;
    }

    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], status_pipe[0], status_pipe[1]})
            close(fd);
        result.err = "fork failed";
        return result;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        int in = open("/dev/null", request.discard_output ? O_RDWR : O_RDONLY);
        if (in >= 0) dup2(in, 0);
        dup2(request.discard_output ? in : out_pipe[1], 1);
        dup2(request.discard_output ? in : err_pipe[1], 2);
        close(out_pipe[1]);
        close(err_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(status_pipe[0]);
        if (request.size_limit != no_size_limit) signal(SIGXFSZ, SIG_IGN);
        rlimit limit{request.size_limit, request.size_limit};
        int code = 0;
        if ((!request.workdir.empty() && chdir(request.workdir.c_str()) != 0) ||
            (request.size_limit != no_size_limit && setrlimit(RLIMIT_FSIZE, &limit) != 0) ||
            (request.as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))) {
            code = errno;
        } else {
            execvpe(argv[0], argv.data(), envp.data());
            code = errno;
        }
        ssize_t ignored = write(status_pipe[1], &code, sizeof code);
        (void)ignored;
        _exit(127);
    }

    close(out_pipe[1]);
    close(err_pipe[1]);
    close(status_pipe[1]);
    if (request.meanwhile) request.meanwhile();

    int fds[2] = {out_pipe[0], err_pipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    char buffer[65536];
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd polls[2];
        int count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0) continue;
            polls[count] = {fds[i], POLLIN, 0};
            which[count++] = i;
        }
        if (poll(polls, static_cast<nfds_t>(count), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < count; ++k) {
            if (!(polls[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            int i = which[k];
            ssize_t n = read(fds[i], buffer, sizeof buffer);
            if (n > 0)
                sinks[i]->append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                close_fd(fds[i]);
        }
    }
    close_fd(fds[0]);
    close_fd(fds[1]);

    int child_errno = 0;
    ssize_t got = read(status_pipe[0], &child_errno, sizeof child_errno);
    close(status_pipe[0]);

    siginfo_t info{};
    int waited;
    while ((waited = waitid(P_PID, id_t(child), &info, WEXITED | WNOWAIT)) < 0 && errno == EINTR) {
    }
    if (waited == 0) result.bytes_read = bytes_read_by(child);
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.peak_memory_kib = usage.ru_maxrss;
    if (got == static_cast<ssize_t>(sizeof child_errno)) {
        result.err = "cannot run '" + request.program + "': " + std::strerror(child_errno);
        result.exit_code = 127;
        return result;
    }
    result.started = true;
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
        result.exit_code = 128 + result.signal;
    }
    return result;
}

}  // namespace varnek::runner
