// Test support; see programs.h.
#include "programs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace varnek::test {

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
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(status_pipe[0]);
        if (request.size_limit != RLIM_INFINITY) signal(SIGXFSZ, SIG_IGN);
        rlimit limit{request.size_limit, request.size_limit};
        int code = 0;
        if ((!request.workdir.empty() && chdir(request.workdir.c_str()) != 0) ||
            (request.size_limit != RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &limit) != 0) ||
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

    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
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

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workdir, const std::vector<std::string>& env) {
    RunRequest request;
    request.program = program;
    request.args = args;
    request.workdir = workdir;
    request.env = env;
    return run_program(request);
}

std::string varnek_binary() {
#ifdef VARNEK_BINARY
    return VARNEK_BINARY;
#else
    const char* path = std::getenv("VARNEK_BINARY");
    return path ? path : "varnek";
#endif
}

std::string test_undo_dir() {
    // One folder for the undo files of all the tool's runs in this test
    // process, open to the user nobody too; removed with the process.
    static TempDir dir;
    static bool opened = chmod(dir.path().c_str(), 01777) == 0;
    (void)opened;
    return dir.path();
}

RunResult run_varnek(const std::vector<std::string>& args, const std::string& workdir,
                     const std::vector<std::string>& env) {
    std::vector<std::string> all;
    bool has_tz = false, has_undo = false;
    for (const std::string& e : env) {
        if (env_name(e) == "TZ") has_tz = true;
        if (env_name(e) == "VARNEK_UNDO_DIR") has_undo = true;
    }
    if (!has_tz) all.push_back("TZ=UTC");
    if (!has_undo) all.push_back("VARNEK_UNDO_DIR=" + test_undo_dir());
    all.insert(all.end(), env.begin(), env.end());
    return run_program(varnek_binary(), args, workdir, all);
}

std::string without_testtime(const std::string& text) {
    static const std::regex testtime("Testtime:  [0-9]+\\.[0-9]{3} s");
    return std::regex_replace(text, testtime, "Testtime:  #.### s");
}

// A copy of the tool that the user nobody may run: the build tree can lie
// below a folder only its owner may enter (root's home, in CI).
static std::string binary_for_nobody() {
    static TempDir dir;
    static std::string copy;
    if (copy.empty() && dir.ok()) {
        std::error_code ec;
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0755), ec);
        std::string target = dir.file("varnek");
        if (std::filesystem::copy_file(varnek_binary(), target, ec)) {
            std::filesystem::permissions(target, std::filesystem::perms(0755), ec);
            copy = target;
        }
    }
    return copy.empty() ? varnek_binary() : copy;
}

RunResult run_varnek_restricted(std::vector<std::string> args, const std::string& dir, rlim_t size_limit,
                                bool as_nobody, const std::function<void()>& meanwhile) {
    RunRequest request;
    request.program = as_nobody ? binary_for_nobody() : varnek_binary();
    request.args = std::move(args);
    request.workdir = dir;
    request.env = {"TZ=UTC", "VARNEK_UNDO_DIR=" + test_undo_dir()};
    request.size_limit = size_limit;
    request.as_nobody = as_nobody;
    request.meanwhile = meanwhile;
    return run_program(request);
}

// ---------------------------------------------------------------------------

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/varnek-test-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    if (mkdtemp(name.data())) path_ = name.data();
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool read_file(const std::string& path, Bytes& out) {
    out.clear();
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

Bytes read_file(const std::string& path) {
    Bytes b;
    read_file(path, b);
    return b;
}

bool write_file(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool write_file(const std::string& path, const std::string& text) {
    return write_file(path, Bytes(text.begin(), text.end()));
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int64_t file_size(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool get_file_times(const std::string& path, FileTimes& out) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    out.access_s = static_cast<int64_t>(st.st_atim.tv_sec);
    out.access_ns = st.st_atim.tv_nsec;
    out.modify_s = static_cast<int64_t>(st.st_mtim.tv_sec);
    out.modify_ns = st.st_mtim.tv_nsec;
    return true;
}

bool set_file_times(const std::string& path, const FileTimes& times) {
    struct timespec ts[2];
    ts[0].tv_sec = static_cast<time_t>(times.access_s);
    ts[0].tv_nsec = times.access_ns;
    ts[1].tv_sec = static_cast<time_t>(times.modify_s);
    ts[1].tv_nsec = times.modify_ns;
    return utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

bool set_file_times(const std::string& path, int64_t access_s, int64_t modify_s) {
    FileTimes t;
    t.access_s = access_s;
    t.modify_s = modify_s;
    return set_file_times(path, t);
}

const FileTimes Unchanged::old{1000000000, 123456789, 1100000000, 987654321};

Unchanged::Unchanged(std::vector<std::string> names) : files(std::move(names)) {
    for (const std::string& f : files) {
        bytes.push_back(read_file(f));
        EXPECT_TRUE(set_file_times(f, old)) << f;
    }
}

void Unchanged::check(const std::vector<Patch>& patches) const {
    for (size_t i = 0; i < files.size(); ++i) {
        Bytes expected = bytes[i];
        for (const Patch& p : i == 0 ? patches : std::vector<Patch>{}) {
            ASSERT_LE(p.first + p.second.size(), expected.size());
            std::copy(p.second.begin(), p.second.end(), expected.begin() + long(p.first));
        }
        FileTimes now;
        ASSERT_TRUE(get_file_times(files[i], now)) << files[i];
        EXPECT_EQ(now.access_s, old.access_s) << files[i];
        EXPECT_EQ(now.access_ns, old.access_ns) << files[i];
        EXPECT_EQ(now.modify_s, old.modify_s) << files[i];
        EXPECT_EQ(now.modify_ns, old.modify_ns) << files[i];
        EXPECT_TRUE(read_file(files[i]) == expected) << files[i] << " has other bytes";
    }
}

}  // namespace varnek::test
