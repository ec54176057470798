// varnek-bench: measures the tool against the limits it is built to keep and
// prints one line per limit with PASS or MISS.
//
//   all-<size>     varnek -all on a warm recording (default 1 GiB) takes at
//                  most 1.15 times as long as read-floor, a plain loop that
//                  freads the same file in 188,000-byte blocks and checks
//                  every sync byte.
//   default-64GiB  the default scan of a 64 GiB recording (a sparse file with
//                  real packets at its head and tail) takes no longer than
//                  that of a 20 MiB one (median ratio <= 1.5 or less than
//                  5 ms apart), and both read only the two blocks that the
//                  head and tail passes need (rchar of the child).
//   memory         peak resident memory of the tool, default and -all, on
//                  20 MiB and on the big recording: less than 4 MiB beyond
//                  idle (a program that does nothing) and within 256 KiB of
//                  each other.
//   allocations    varnek-alloc (the tool with counting allocation
//                  functions) makes as many allocations for -all on 20 MiB as
//                  on the big recording.
//
// Every program runs as a child (fork, exec, wait4) with its standard output
// and error on /dev/null; wall time is taken with steady_clock around that.
// The two programs compared run alternately, their order swapped from round
// to round, after one warm-up round. Medians are printed with min and max.
//
// The recordings are written with the recording builder into a fresh
// temporary folder (or --dir) and removed at the end unless --keep is given.
//
// Exit code: 0 when every program ran and exited with 0 (whether the limits
// were kept or not), 1 when one failed, 2 for a bad command line.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "builder.h"

namespace build = varnek::build;

namespace {

const char* varnek_binary = VARNEK_BINARY;  // --varnek replaces it
const char* const varnek_alloc_binary = VARNEK_ALLOC_BINARY;
const char* const read_floor_binary = READ_FLOOR_BINARY;
const char* const idle_binary = IDLE_BINARY;

constexpr uint64_t kib = 1024;
constexpr uint64_t mib = 1024 * kib;
constexpr uint64_t gib = 1024 * mib;
constexpr uint64_t block_bytes = 1000 * build::packet_bytes;

// Limits.
constexpr double all_ratio_limit = 1.15;
constexpr double default_ratio_limit = 1.5;
constexpr double default_diff_limit_s = 0.005;
constexpr long rss_beyond_idle_limit_kib = 4 * 1024;
constexpr long rss_spread_limit_kib = 256;
// The recordings have their PMT, a PCR and a PES start in the first block
// and in the last one, so the default scan needs one block at the head and
// one at the tail.
constexpr uint64_t default_blocks_needed = 2;
// Beyond those blocks and what idle reads (the loader): stdio's rounding of
// the block reads and the few small files the tool may read (time zone).
constexpr uint64_t rchar_slack = 64 * kib;

// ---------------------------------------------------------------------------
// Recordings.

constexpr uint64_t packets_per_ms = 4;  // 6,016,000 bit/s

// A recording as the receiver makes one: the QBX packets, PAT and PMT, then
// video and audio with their clocks and tables. total_packets counts the head too.
build::Recipe recording_recipe(uint64_t total_packets) {
    build::ReceiverFields f;
    f.packets_per_ms = packets_per_ms;
    f.duration_s = static_cast<uint16_t>(std::min<uint64_t>(total_packets / packets_per_ms / 1000, 0xFFFF));
    f.mjd = build::mjd_from_date(2026, 3, 14);
    f.start_hour = 21;
    f.start_minute = 5;
    f.event = "Benchmark Evening";
    f.short_text = "A long recording for measuring the scan.";
    f.channel = "Varnek Bench";
    build::Recipe r = build::receiver_recipe(f);
    r.body_packets = total_packets > r.head.size() ? total_packets - r.head.size() : 0;
    return r;
}

// ---------------------------------------------------------------------------
// Files to remove, also when the run is interrupted.

constexpr int max_paths = 8;
char cleanup_files[max_paths][4096];
int cleanup_file_count = 0;
char cleanup_dir[4096];

void add_cleanup_file(const std::string& path) {
    if (cleanup_file_count == max_paths || path.size() >= sizeof cleanup_files[0]) return;
    std::memcpy(cleanup_files[cleanup_file_count], path.c_str(), path.size() + 1);
    ++cleanup_file_count;
}

void remove_files() {
    for (int i = 0; i < cleanup_file_count; ++i) unlink(cleanup_files[i]);
    cleanup_file_count = 0;
    if (cleanup_dir[0]) rmdir(cleanup_dir);
    cleanup_dir[0] = 0;
}

extern "C" void on_signal(int sig) {
    remove_files();  // unlink and rmdir only
    signal(sig, SIG_DFL);
    raise(sig);
}

// ---------------------------------------------------------------------------
// Running a child.

struct Child {
    bool ok = false;          // ran and exited with code 0
    std::string failure;      // why not
    double seconds = 0;
    long maxrss_kib = 0;
    double user_s = 0, system_s = 0;  // CPU time
    bool have_rchar = false;
    uint64_t rchar = 0;
};

std::string command_text(const std::vector<std::string>& argv) {
    std::string s;
    for (const std::string& a : argv) {
        if (!s.empty()) s += ' ';
        s += a;
    }
    return s;
}

bool read_rchar(pid_t pid, uint64_t& rchar) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/io", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char line[128];
    bool found = false;
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long v = 0;
        if (std::sscanf(line, "rchar: %llu", &v) == 1) {
            rchar = v;
            found = true;
            break;
        }
    }
    std::fclose(f);
    return found;
}

// Runs argv[0] with the arguments behind it, standard input and output on
// /dev/null, standard error on /dev/null or into err_path. The wall time
// covers fork, exec and the child's exit; rchar is read from /proc while the
// child is a zombie (waitid with WNOWAIT), then it is reaped with wait4 for
// its peak resident memory.
Child run_child(const std::vector<std::string>& argv, const std::string& err_path = "") {
    Child result;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    int err_fd = err_path.empty() ? -1 : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int report[2];
    if (null_fd < 0 || (!err_path.empty() && err_fd < 0) || pipe2(report, O_CLOEXEC) != 0) {
        result.failure = std::string("can't set up the child: ") + std::strerror(errno);
        if (null_fd >= 0) close(null_fd);
        if (err_fd >= 0) close(err_fd);
        return result;
    }

    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_fd >= 0 ? err_fd : null_fd, 2);
        execv(args[0], args.data());
        int e = errno;
        ssize_t ignored = write(report[1], &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    close(null_fd);
    if (err_fd >= 0) close(err_fd);
    if (pid < 0) {
        result.failure = std::string("fork failed: ") + std::strerror(errno);
        close(report[0]);
        return result;
    }
    int exec_errno = 0;
    ssize_t got;
    do got = read(report[0], &exec_errno, sizeof exec_errno);
    while (got < 0 && errno == EINTR);
    close(report[0]);

    siginfo_t info{};
    int w;
    do w = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    while (w != 0 && errno == EINTR);
    auto end = std::chrono::steady_clock::now();
    result.seconds = std::chrono::duration<double>(end - start).count();
    if (w == 0) result.have_rchar = read_rchar(pid, result.rchar);

    int status = 0;
    struct rusage usage{};
    pid_t r;
    do r = wait4(pid, &status, 0, &usage);
    while (r < 0 && errno == EINTR);
    if (r != pid) {
        result.failure = std::string("wait4 failed: ") + std::strerror(errno);
        return result;
    }
    result.maxrss_kib = usage.ru_maxrss;
    result.user_s = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) * 1e-6;
    result.system_s = double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) * 1e-6;
    if (got == sizeof exec_errno) {
        result.failure = std::string("can't run: ") + std::strerror(exec_errno);
    } else if (WIFSIGNALED(status)) {
        result.failure = std::string("killed by signal ") + std::to_string(WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0) {
        result.failure = "exit code " + std::to_string(WEXITSTATUS(status));
    } else {
        result.ok = true;
    }
    return result;
}

// ---------------------------------------------------------------------------
// Figures.

double median_of(std::vector<double> s) {
    std::sort(s.begin(), s.end());
    size_t n = s.size();
    if (n == 0) return 0;
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

struct Series {
    std::vector<double> seconds, user, system;
    long max_rss_kib = 0;
    bool have_rchar = true;
    uint64_t max_rchar = 0;

    void add(const Child& c) {
        seconds.push_back(c.seconds);
        user.push_back(c.user_s);
        system.push_back(c.system_s);
        max_rss_kib = std::max(max_rss_kib, c.maxrss_kib);
        if (c.have_rchar)
            max_rchar = std::max(max_rchar, c.rchar);
        else
            have_rchar = false;
    }
    double median() const { return median_of(seconds); }
    double min() const { return seconds.empty() ? 0 : *std::min_element(seconds.begin(), seconds.end()); }
    double max() const { return seconds.empty() ? 0 : *std::max_element(seconds.begin(), seconds.end()); }
};

// "0.112 s (min 0.108 max 0.130)" or, with ms, "2.31 ms (min 2.10 max 3.00)".
std::string time_text(const Series& s, bool ms) {
    char buf[128];
    if (ms)
        std::snprintf(buf, sizeof buf, "%.2f ms (min %.2f max %.2f)", s.median() * 1e3, s.min() * 1e3,
                      s.max() * 1e3);
    else
        std::snprintf(buf, sizeof buf, "%.3f s (min %.3f max %.3f)", s.median(), s.min(), s.max());
    return buf;
}

std::string size_text(uint64_t bytes, bool spaced = true) {
    char buf[64];
    const char* sep = spaced ? " " : "";
    if (bytes >= gib && bytes % gib == 0)
        std::snprintf(buf, sizeof buf, "%llu%sGiB", static_cast<unsigned long long>(bytes / gib), sep);
    else if (bytes >= mib && bytes % mib == 0)
        std::snprintf(buf, sizeof buf, "%llu%sMiB", static_cast<unsigned long long>(bytes / mib), sep);
    else if (bytes >= gib)
        std::snprintf(buf, sizeof buf, "%.2f%sGiB", double(bytes) / gib, sep);
    else
        std::snprintf(buf, sizeof buf, "%.1f%sMiB", double(bytes) / mib, sep);
    return buf;
}

std::string kib_text(uint64_t bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f KiB", double(bytes) / kib);
    return buf;
}

// ---------------------------------------------------------------------------
// What a run brought into the page cache: the tool may read its file with
// read() (rchar sees that) or through a mapping (rchar does not), so the
// file's pages in the cache are counted before and after a run that starts
// with the file dropped from the cache. The kernel's read-ahead adds to what
// the tool touched.

// Bytes of the file in the page cache, or -1 when that can't be told.
int64_t cached_bytes(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    long page = sysconf(_SC_PAGESIZE);
    if (fstat(fd, &st) != 0 || page <= 0) {
        close(fd);
        return -1;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint64_t chunk = gib;  // mapped and looked at a piece at a time
    std::vector<unsigned char> resident(static_cast<size_t>(chunk / static_cast<uint64_t>(page)));
    int64_t total = 0;
    for (uint64_t at = 0; at < size; at += chunk) {
        size_t len = static_cast<size_t>(std::min(chunk, size - at));
        void* p = mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(at));
        if (p == MAP_FAILED) {
            close(fd);
            return -1;
        }
        size_t pages = (len + static_cast<size_t>(page) - 1) / static_cast<size_t>(page);
        bool ok = mincore(p, len, resident.data()) == 0;
        munmap(p, len);
        if (!ok) {
            close(fd);
            return -1;
        }
        for (size_t i = 0; i < pages; ++i)
            if (resident[i] & 1) total += page;
    }
    close(fd);
    return total;
}

// Drops the file's (clean) pages from the page cache.
void drop_cached(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

// The read-ahead of the device the file lies on, in bytes (128 KiB when the
// system does not tell).
uint64_t read_ahead_bytes(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        unsigned maj = major(st.st_dev), min = minor(st.st_dev);
        for (const char* form : {"/sys/dev/block/%u:%u/queue/read_ahead_kb", "/sys/dev/block/%u:%u/../queue/read_ahead_kb",
                                 "/sys/class/bdi/%u:%u/read_ahead_kb"}) {
            char name[128];
            std::snprintf(name, sizeof name, form, maj, min);
            std::FILE* f = std::fopen(name, "r");
            if (!f) continue;
            unsigned long long kb = 0;
            bool ok = std::fscanf(f, "%llu", &kb) == 1;
            std::fclose(f);
            if (ok) return kb * kib;
        }
    }
    return 128 * kib;
}

const char* verdict(bool pass) { return pass ? "PASS" : "MISS"; }

// ---------------------------------------------------------------------------
// The harness.

struct Options {
    unsigned rounds = 11;
    uint64_t big_bytes = gib;
    uint64_t small_bytes = 20 * mib;
    uint64_t sparse_bytes = 64 * gib;
    bool quick = false;
    bool keep = false;
    std::string dir;
};

void usage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: varnek-bench [--rounds N] [--size-mib N] [--quick] [--dir DIR] [--keep] [--varnek PATH]\n"
                 "  --rounds N    timed rounds per comparison after one warm-up round (default 11)\n"
                 "  --size-mib N  size of the big recording in MiB (default 1024)\n"
                 "  --quick       small recordings and 3 rounds, for a fast check\n"
                 "  --dir DIR     write the recordings into DIR instead of a temporary folder\n"
                 "  --keep        leave the recordings in place afterwards\n"
                 "  --varnek PATH time this build of the tool instead of the one built beside\n"
                 "                (the allocation count always uses varnek-alloc)\n"
                 "Prints one line per limit with PASS or MISS. Exit code 1 only when a program\n"
                 "failed to run or exited with a non-zero code.\n");
}

bool parse_number(const char* text, unsigned long long& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text, &end, 10);
    return errno == 0 && *end == 0 && text[0] != '-';
}

// 0: go on; else the exit code.
int parse_options(int argc, char** argv, Options& o) {
    bool rounds_given = false, size_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        unsigned long long n = 0;
        if (a == "--rounds" && i + 1 < argc && parse_number(argv[i + 1], n) && n >= 1 && n <= 1000) {
            o.rounds = static_cast<unsigned>(n);
            rounds_given = true;
            ++i;
        } else if (a == "--size-mib" && i + 1 < argc && parse_number(argv[i + 1], n) && n >= 1 &&
                   n <= 1024 * 1024) {
            o.big_bytes = n * mib;
            size_given = true;
            ++i;
        } else if (a == "--dir" && i + 1 < argc && argv[i + 1][0]) {
            o.dir = argv[++i];
        } else if (a == "--varnek" && i + 1 < argc && argv[i + 1][0]) {
            varnek_binary = argv[++i];
        } else if (a == "--quick") {
            o.quick = true;
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return -1;
        } else {
            std::fprintf(stderr, "varnek-bench: bad argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (o.quick) {
        if (!rounds_given) o.rounds = 3;
        if (!size_given) o.big_bytes = 16 * mib;
        o.small_bytes = 2 * mib;
    }
    return 0;
}

struct Bench {
    Options opt;
    std::string dir;
    std::string big, small, sparse;
    bool failed = false;

    // Runs a child; on a failure prints it and marks the whole run failed.
    bool run(const std::vector<std::string>& argv, Series* into, const std::string& err_path = "",
             Child* out = nullptr) {
        Child c = run_child(argv, err_path);
        if (!c.ok) {
            std::fprintf(stderr, "varnek-bench: '%s': %s\n", command_text(argv).c_str(), c.failure.c_str());
            failed = true;
            return false;
        }
        if (into) into->add(c);
        if (out) *out = c;
        return true;
    }

    // One warm-up round, then opt.rounds rounds of a and b, the order
    // swapped every round.
    bool compare(const std::vector<std::string>& a, const std::vector<std::string>& b, Series& sa, Series& sb) {
        if (!run(a, nullptr) || !run(b, nullptr)) return false;
        for (unsigned r = 0; r < opt.rounds; ++r) {
            bool a_first = r % 2 == 0;
            if (!run(a_first ? a : b, a_first ? &sa : &sb)) return false;
            if (!run(a_first ? b : a, a_first ? &sb : &sa)) return false;
        }
        return true;
    }

    bool write_file(const std::string& path, uint64_t bytes, bool sparse_file) {
        auto start = std::chrono::steady_clock::now();
        add_cleanup_file(path);
        uint64_t packets = bytes / build::packet_bytes;
        build::Recipe recipe = recording_recipe(packets);
        build::WriteResult w =
            sparse_file ? build::write_sparse_recording(recipe, path, packets * build::packet_bytes, 3000, 3000)
                        : build::write_recording(recipe, path);
        if (!w.ok) {
            std::fprintf(stderr, "varnek-bench: %s\n", w.error.c_str());
            failed = true;
            return false;
        }
        // Written back now, so that the writeback does not fall into the
        // timed runs; the pages stay in the cache.
        int fd = open(path.c_str(), O_RDONLY);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("# %s: %s, %llu packets%s, written in %.1f s\n", path.c_str(), size_text(w.bytes).c_str(),
                    static_cast<unsigned long long>(packets), sparse_file ? " (sparse: 3000 at each end)" : "", s);
        std::fflush(stdout);
        return true;
    }

    bool setup() {
        if (opt.dir.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/varnek-bench.XXXXXX";
            std::vector<char> buf(pattern.begin(), pattern.end());
            buf.push_back(0);
            if (!mkdtemp(buf.data())) {
                std::fprintf(stderr, "varnek-bench: can't create a folder in %s: %s\n",
                             tmp && *tmp ? tmp : "/tmp", std::strerror(errno));
                failed = true;
                return false;
            }
            dir = buf.data();
            if (!opt.keep && dir.size() < sizeof cleanup_dir) std::memcpy(cleanup_dir, dir.c_str(), dir.size() + 1);
        } else {
            dir = opt.dir;
            if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
                std::fprintf(stderr, "varnek-bench: can't create %s: %s\n", dir.c_str(), std::strerror(errno));
                failed = true;
                return false;
            }
        }
        if (dir.back() != '/') dir += '/';
        // Names of one length: the tool's allocations may depend on the
        // length of the name (short strings live inside the string object).
        small = dir + "small.ts";
        big = dir + "large.ts";
        sparse = dir + "giant.ts";
        return write_file(small, opt.small_bytes, false) && write_file(big, opt.big_bytes, false) &&
               write_file(sparse, opt.sparse_bytes, true);
    }

    void finish() {
        if (opt.keep) {
            std::printf("# recordings kept in %s\n", dir.c_str());
            cleanup_file_count = 0;
            cleanup_dir[0] = 0;
        } else {
            remove_files();
        }
    }

    // Target: -all on the big recording against the read floor.
    bool all_mode(Series& varnek_all_big) {
        Series floor;
        if (!compare({varnek_binary, big, "-all"}, {read_floor_binary, big}, varnek_all_big, floor)) return false;
        double ratio = varnek_all_big.median() / floor.median();
        std::printf("all-%s: varnek %s / floor %s = %.2f <= %.2f %s\n", size_text(opt.big_bytes, false).c_str(),
                    time_text(varnek_all_big, false).c_str(), time_text(floor, false).c_str(), ratio,
                    all_ratio_limit, verdict(ratio <= all_ratio_limit));
        std::printf("# all-%s CPU medians: varnek user %.3f s system %.3f s, floor user %.3f s system %.3f s\n",
                    size_text(opt.big_bytes, false).c_str(), median_of(varnek_all_big.user),
                    median_of(varnek_all_big.system), median_of(floor.user), median_of(floor.system));
        std::fflush(stdout);
        return true;
    }

    // What one default run brings into the page cache from its file, which
    // is dropped from the cache first; -1 when that can't be told (a file
    // system whose pages can't be dropped).
    int64_t cache_read_in(const std::string& recording) {
        drop_cached(recording);
        int64_t before = cached_bytes(recording);
        if (!run({varnek_binary, recording}, nullptr)) return -1;
        int64_t after = cached_bytes(recording);
        if (before != 0 || after < 0) return -1;
        return after;
    }

    // Target: the default scan does not depend on the file's size.
    bool default_mode(const Series& idle, Series& varnek_small) {
        Series huge;
        if (!compare({varnek_binary, sparse}, {varnek_binary, small}, huge, varnek_small)) return false;
        double ratio = huge.median() / varnek_small.median();
        double diff = huge.median() - varnek_small.median();
        bool time_ok = ratio <= default_ratio_limit || std::abs(diff) < default_diff_limit_s;

        // read() calls of the timed runs.
        uint64_t rchar_limit = default_blocks_needed * block_bytes + idle.max_rchar + rchar_slack;
        bool have_rchar = huge.have_rchar && varnek_small.have_rchar && idle.have_rchar;
        bool rchar_ok = have_rchar && huge.max_rchar <= rchar_limit && varnek_small.max_rchar <= rchar_limit;
        std::string reads = have_rchar ? "rchar " + kib_text(huge.max_rchar) + " / " + kib_text(varnek_small.max_rchar) +
                                             " <= " + kib_text(rchar_limit)
                                       : std::string("rchar not readable");

        // Pages brought in, whichever way the tool reads; the small file is
        // read again afterwards so that it is warm for what follows.
        int64_t cache_huge = cache_read_in(sparse);
        if (failed) return false;
        int64_t cache_small = cache_read_in(small);
        if (failed || !run({read_floor_binary, small}, nullptr)) return false;
        uint64_t cache_limit = default_blocks_needed * (block_bytes + 2 * read_ahead_bytes(sparse));
        bool have_cache = cache_huge >= 0 && cache_small >= 0;
        bool cache_ok = have_cache && uint64_t(cache_huge) <= cache_limit && uint64_t(cache_small) <= cache_limit;
        if (have_cache)
            reads += ", page cache " + kib_text(uint64_t(cache_huge)) + " / " + kib_text(uint64_t(cache_small)) +
                     " <= " + kib_text(cache_limit) + " (2 blocks with read-ahead)";
        else
            reads += ", page cache not measurable here";

        std::printf("default-%s: varnek %s %s / %s %s = %.2f <= %.1f or %.2f ms apart < %.0f ms; %s %s\n",
                    size_text(opt.sparse_bytes, false).c_str(), size_text(opt.sparse_bytes).c_str(),
                    time_text(huge, true).c_str(), size_text(opt.small_bytes).c_str(),
                    time_text(varnek_small, true).c_str(), ratio, default_ratio_limit, std::abs(diff) * 1e3,
                    default_diff_limit_s * 1e3, reads.c_str(),
                    verdict(time_ok && rchar_ok && (cache_ok || !have_cache)));
        std::fflush(stdout);
        return true;
    }

    // Target: peak resident memory, default and -all, small and big.
    bool memory(const Series& idle, const Series& all_big, const Series& default_small) {
        Series default_big, all_small;
        unsigned n = std::min(opt.rounds, 3u);
        for (unsigned r = 0; r < n; ++r) {
            if (!run({varnek_binary, big}, &default_big)) return false;
            if (!run({varnek_binary, small, "-all"}, &all_small)) return false;
        }
        long base = idle.max_rss_kib;
        long d_small = default_small.max_rss_kib - base, d_big = default_big.max_rss_kib - base;
        long a_small = all_small.max_rss_kib - base, a_big = all_big.max_rss_kib - base;
        long worst = std::max(std::max(d_small, d_big), std::max(a_small, a_big));
        long spread_d = std::labs(d_big - d_small), spread_a = std::labs(a_big - a_small);
        bool pass = worst < rss_beyond_idle_limit_kib && spread_d <= rss_spread_limit_kib &&
                    spread_a <= rss_spread_limit_kib;
        std::printf(
            "memory: idle %ld KiB; beyond it default %s %+ld / %s %+ld KiB, -all %s %+ld / %s %+ld KiB < %ld KiB; "
            "%s vs %s apart by %ld / %ld KiB <= %ld KiB %s\n",
            base, size_text(opt.small_bytes).c_str(), d_small, size_text(opt.big_bytes).c_str(), d_big,
            size_text(opt.small_bytes).c_str(), a_small, size_text(opt.big_bytes).c_str(), a_big,
            rss_beyond_idle_limit_kib, size_text(opt.small_bytes).c_str(), size_text(opt.big_bytes).c_str(), spread_d,
            spread_a, rss_spread_limit_kib, verdict(pass));
        std::fflush(stdout);
        return true;
    }

    // Counts of the instrumented tool for one -all run.
    bool count_allocations(const std::string& recording, unsigned long long& news, unsigned long long& mallocs) {
        std::string err_path = dir + "alloc.txt";
        add_cleanup_file(err_path);
        if (!run({varnek_alloc_binary, recording, "-all"}, nullptr, err_path)) return false;
        std::FILE* f = std::fopen(err_path.c_str(), "r");
        bool found = false;
        if (f) {
            char line[512];
            while (std::fgets(line, sizeof line, f))
                if (std::sscanf(line, "varnek-alloc: new %llu malloc %llu", &news, &mallocs) == 2) found = true;
            std::fclose(f);
        }
        unlink(err_path.c_str());
        if (!found) {
            std::fprintf(stderr, "varnek-bench: varnek-alloc printed no allocation count\n");
            failed = true;
        }
        return found;
    }

    // Target: no allocation per packet.
    bool allocations() {
        unsigned long long new_small = 0, malloc_small = 0, new_big = 0, malloc_big = 0;
        if (!count_allocations(small, new_small, malloc_small) || !count_allocations(big, new_big, malloc_big))
            return false;
        bool pass = new_small == new_big && malloc_small == malloc_big;
        std::printf("allocations: varnek-alloc -all %s new %llu malloc %llu / %s new %llu malloc %llu, %s %s\n",
                    size_text(opt.small_bytes).c_str(), new_small, malloc_small, size_text(opt.big_bytes).c_str(),
                    new_big, malloc_big, pass ? "the same" : "not the same", verdict(pass));
        std::fflush(stdout);
        return true;
    }

    int main() {
        if (!setup()) {
            finish();
            return 1;
        }
        std::printf("# %u rounds after one warm-up round; medians with min and max\n", opt.rounds);
        std::fflush(stdout);

        // The baseline: memory and bytes read by a program that does nothing.
        Series idle;
        for (unsigned r = 0; r < 3; ++r)
            if (!run({idle_binary}, &idle)) break;

        Series all_big, default_small;
        bool ok = !failed && all_mode(all_big) && default_mode(idle, default_small) &&
                  memory(idle, all_big, default_small) && allocations();
        (void)ok;
        finish();
        return failed ? 1 : 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    Bench bench;
    int code = parse_options(argc, argv, bench.opt);
    if (code != 0) return code < 0 ? 0 : code;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGHUP, on_signal);
    return bench.main();
}
