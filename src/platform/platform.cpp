#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <csignal>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace varnek {

static_assert(sizeof(off_t) == 8, "offsets must be 64-bit");

bool seek_file(std::FILE* file, int64_t offset, int whence) {
    return fseeko(file, static_cast<off_t>(offset), whence) == 0;
}

int64_t tell_file(std::FILE* file) { return static_cast<int64_t>(ftello(file)); }

static void fill_id(const struct stat& st, FileId& id) {
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
}

bool file_id_of_path(const char* path, FileId& id) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    fill_id(st, id);
    return true;
}

bool file_id_of_stream(std::FILE* file, FileId& id) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0) return false;
    fill_id(st, id);
    return true;
}

bool is_directory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::FILE* open_for_reading(const char* path) {
    int fd = open(path, O_RDONLY | O_NOATIME | O_CLOEXEC);
    if (fd < 0 && errno == EPERM) fd = open(path, O_RDONLY | O_CLOEXEC);  // not the owner
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "rb");
    if (!file) close(fd);
    return file;
}

bool get_file_times(const char* path, FileTimes& times) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    times.access_sec = st.st_atim.tv_sec;
    times.access_nsec = st.st_atim.tv_nsec;
    times.modify_sec = st.st_mtim.tv_sec;
    times.modify_nsec = st.st_mtim.tv_nsec;
    return true;
}

bool set_file_times(const char* path, const FileTimes& times) {
    struct timespec ts[2];
    ts[0].tv_sec = static_cast<time_t>(times.access_sec);
    ts[0].tv_nsec = static_cast<long>(times.access_nsec);
    ts[1].tv_sec = static_cast<time_t>(times.modify_sec);
    ts[1].tv_nsec = static_cast<long>(times.modify_nsec);
    return utimensat(AT_FDCWD, path, ts, 0) == 0;
}

bool write_allowed_up_to(uint64_t end) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    return end <= uint64_t(limit.rlim_cur);
}

void advise_sequential(std::FILE* file) {
    (void)posix_fadvise(fileno(file), 0, 0, POSIX_FADV_SEQUENTIAL);
}

int64_t file_size(std::FILE* file) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

namespace {

// The window in use, for the bus-error handler.
volatile uintptr_t mapped_begin = 0;
volatile uintptr_t mapped_end = 0;
volatile std::sig_atomic_t lost_pages = 0;
uintptr_t page_bytes = 0;
struct sigaction previous_bus_action;

void on_bus_error(int, siginfo_t* info, void*) {
    uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    if (address >= mapped_begin && address < mapped_end) {
        // Put a page of zeros where the file's page vanished; the read
        // that faulted is repeated and sees zeros.
        void* page = reinterpret_cast<void*>(address & ~(page_bytes - 1));
        if (mmap(page, page_bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            lost_pages = 1;
            return;
        }
    }
    // Not ours: the fault takes its usual course when the access repeats.
    signal(SIGBUS, SIG_DFL);
}

}  // namespace

uint64_t page_size() {
    if (page_bytes == 0) {
        long page = sysconf(_SC_PAGESIZE);
        page_bytes = page > 0 ? static_cast<uintptr_t>(page) : 4096;
    }
    return page_bytes;
}

bool map_window(std::FILE* file, uint64_t offset, uint64_t length, bool sequential, FileMapping& mapping) {
    mapping = FileMapping{};
    if (length == 0 || offset % page_size() != 0) return false;
    void* data = mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_PRIVATE, fileno(file),
                      static_cast<off_t>(offset));
    if (data == MAP_FAILED) return false;
    if (sequential) (void)madvise(data, static_cast<size_t>(length), MADV_SEQUENTIAL);
    mapped_begin = reinterpret_cast<uintptr_t>(data);
    mapped_end = mapped_begin + static_cast<uintptr_t>(length);
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous_bus_action);
    mapping.data = static_cast<const uint8_t*>(data);
    mapping.offset = offset;
    mapping.length = length;
    return true;
}

void unmap_window(FileMapping& mapping) {
    if (!mapping.data) return;
    sigaction(SIGBUS, &previous_bus_action, nullptr);
    mapped_begin = 0;
    mapped_end = 0;
    munmap(const_cast<uint8_t*>(mapping.data), static_cast<size_t>(mapping.length));
    mapping = FileMapping{};
}

bool mapping_lost_pages() { return lost_pages != 0; }

void clear_lost_pages() { lost_pages = 0; }

int64_t clock_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t make_local_time(std::tm fields) {
    return static_cast<int64_t>(mktime(&fields));
}

bool local_time_of(int64_t seconds, std::tm& out) {
    time_t t = static_cast<time_t>(seconds);
    return localtime_r(&t, &out) != nullptr;
}

std::string ctime_text(const std::tm& f) {
    static const char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = (f.tm_wday >= 0 && f.tm_wday < 7) ? days[f.tm_wday] : "???";
    const char* month = (f.tm_mon >= 0 && f.tm_mon < 12) ? months[f.tm_mon] : "???";
    char text[64];
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", day, month, f.tm_mday,
                  f.tm_hour, f.tm_min, f.tm_sec, 1900 + f.tm_year);
    return text;
}

}  // namespace varnek
