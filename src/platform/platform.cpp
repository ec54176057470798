#include "platform/platform.h"

#include <chrono>
#include <fcntl.h>
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

bool utc_time_of(int64_t seconds, std::tm& out) {
    time_t t = static_cast<time_t>(seconds);
    return gmtime_r(&t, &out) != nullptr;
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
