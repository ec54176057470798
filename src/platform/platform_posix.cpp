#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace varnek {

// Offsets and times are 64-bit on every build, 32-bit systems included
// (_FILE_OFFSET_BITS=64, _TIME_BITS=64): recordings exceed 4 GiB, and the
// generated record's date lies beyond 2038.
static_assert(sizeof(off_t) == 8, "offsets must be 64-bit");
static_assert(sizeof(time_t) == 8, "times must be 64-bit");

static void fill_id(const struct stat& st, FileId& id) {
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
}

bool is_directory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t path_size(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return int64_t(st.st_size);
}

bool is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

bool is_null_device(std::FILE* stream) {
    struct stat it, null;
    return fstat(fileno(stream), &it) == 0 && S_ISCHR(it.st_mode) && stat("/dev/null", &null) == 0 &&
           S_ISCHR(null.st_mode) && it.st_rdev == null.st_rdev;
}

struct InputFile {
    int fd;
    bool seekable;
};

InputFile* open_input(const char* path) {
    int fd = open(path, O_RDONLY | O_NOATIME | O_CLOEXEC);
    if (fd < 0 && errno == EPERM) fd = open(path, O_RDONLY | O_CLOEXEC);  // not the owner
    if (fd < 0) return nullptr;
    struct stat st;
    bool seekable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    return new InputFile{fd, seekable};
}

void close_input(InputFile* file) {
    if (!file) return;
    close(file->fd);
    delete file;
}

size_t read_input(InputFile* file, uint64_t offset, uint8_t* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = file->seekable ? pread(file->fd, buffer + done, count - done, off_t(offset + done))
                                   : read(file->fd, buffer + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the end, or an error that ends the file like it
        done += size_t(n);
    }
    return done;
}

int64_t input_size(InputFile* file) {
    struct stat st;
    if (!file->seekable || fstat(file->fd, &st) != 0) return -1;
    if (S_ISBLK(st.st_mode)) {
        off_t end = lseek(file->fd, 0, SEEK_END);
        return end < 0 ? -1 : int64_t(end);
    }
    return int64_t(st.st_size);
}

bool file_id_of_input(InputFile* file, FileId& id) {
    struct stat st;
    if (fstat(file->fd, &st) != 0) return false;
    fill_id(st, id);
    return true;
}

void advise_sequential(InputFile* file) {
    (void)posix_fadvise(file->fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

struct UpdateFile {
    int fd;
};

UpdateFile* open_update(const char* path) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    return new UpdateFile{fd};
}

size_t read_update(UpdateFile* file, uint64_t offset, uint8_t* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread(file->fd, buffer + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    return done;
}

bool write_update(UpdateFile* file, uint64_t offset, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = pwrite(file->fd, bytes + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

bool close_update(UpdateFile* file) {
    bool ok = close(file->fd) == 0;
    delete file;
    return ok;
}

struct NewFile {
    int fd;
};

NewFile* create_new(const char* path, bool exclusive) {
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC), 0644);
    if (fd < 0) return nullptr;
    return new NewFile{fd};
}

NewFile* create_temp_beside(const char* target, std::string& temp_path) {
    std::string pattern = std::string(target) + ".varnek-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return nullptr;
    // The file that takes the target's place gets the mode the target has,
    // or that a newly created file would get.
    struct stat st;
    mode_t mode;
    if (stat(target, &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    (void)fchmod(fd, mode);
    temp_path = name.data();
    return new NewFile{fd};
}

bool write_new(NewFile* file, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(file->fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

bool sync_new(NewFile* file) { return fsync(file->fd) == 0; }

bool close_new(NewFile* file) {
    bool ok = close(file->fd) == 0;
    delete file;
    return ok;
}

bool rename_file(const char* from, const char* to) { return rename(from, to) == 0; }
bool remove_file(const char* path) { return unlink(path) == 0; }
bool truncate_file(const char* path, uint64_t size) { return truncate(path, off_t(size)) == 0; }

bool is_regular_file(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool make_private_dirs(const std::string& path) {
    if (path.empty()) return false;
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool list_dir(const std::string& path, std::vector<std::string>& names) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return false;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return true;
}

std::string env_text(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string resolved_path(const char* path) {
    std::string text = path;
    size_t slash = text.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
    std::string base = slash == std::string::npos ? text : text.substr(slash + 1);
    char* real = realpath(dir.c_str(), nullptr);
    if (!real) return text;
    std::string resolved = real;
    free(real);
    if (resolved.back() != '/') resolved += '/';
    return resolved + base;
}

bool file_status(const char* path, FileId& id, int64_t& size) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    fill_id(st, id);
    size = int64_t(st.st_size);
    return true;
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

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void prepare_console() {}

std::string home_state_folder() {
    std::string dir = env_text("XDG_STATE_HOME");
    if (!dir.empty()) return dir + "/varnek/undo";
    dir = env_text("HOME");
    if (!dir.empty()) return dir + "/.local/state/varnek/undo";
    return std::string();
}

std::FILE* open_null_output() { return std::fopen("/dev/null", "w"); }

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

}  // namespace varnek

// -salvage: the new file and its folder.
namespace varnek {

bool is_symlink(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

bool make_folder(const char* path) {
    if (mkdir(path, 0777) != 0 && errno != EEXIST) return false;
    return is_directory(path);
}

bool write_new_at(NewFile* file, uint64_t offset, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = pwrite(file->fd, bytes + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

void start_writeback(NewFile* file, uint64_t offset, size_t count) {
#ifdef __linux__
    (void)sync_file_range(file->fd, off_t(offset), off_t(count), SYNC_FILE_RANGE_WRITE);
#else
    (void)file, (void)offset, (void)count;
#endif
}

bool sync_folder_of(const char* path) {
    std::string text = path;
    size_t slash = text.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

}  // namespace varnek
