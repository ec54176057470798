#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <csignal>
#include <cstdlib>
#include <sys/file.h>
#include <sys/ioctl.h>
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
    int error;  // errno of the read that failed; 0: none
};

InputFile* open_input(const char* path) {
    int fd = open(path, O_RDONLY | O_NOATIME | O_CLOEXEC);
    if (fd < 0 && errno == EPERM) fd = open(path, O_RDONLY | O_CLOEXEC);  // not the owner
    if (fd < 0) return nullptr;
    struct stat st;
    bool seekable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    return new InputFile{fd, seekable, 0};
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
        if (n < 0 && errno != EISDIR) file->error = errno;
        if (n <= 0) break;
        done += size_t(n);
    }
    return done;
}

std::string input_error(InputFile* file) { return file->error != 0 ? std::strerror(file->error) : ""; }

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
    // The old bytes are read through this handle before they are written
    // over: without the access time moving, as for the scan.
    // A device or FIFO put in the recording's place is not opened at all,
    // where opening alone could block or start something; one put there
    // after this look is refused once opened, without waiting.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOATIME | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == EPERM) fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);  // not the owner
    if (fd < 0) return nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
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

namespace {

// Writes count bytes at offset whole, through short writes and interruptions.
bool write_all_at(int fd, uint64_t offset, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = pwrite(fd, bytes + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

bool write_update(UpdateFile* file, uint64_t offset, const uint8_t* bytes, size_t count) {
    return write_all_at(file->fd, offset, bytes, count);
}

bool close_update(UpdateFile* file) {
    bool ok = close(file->fd) == 0;
    delete file;
    return ok;
}

struct NewFile {
    int fd;
};

namespace {

bool write_all(int fd, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

bool is_link_refusal(int error) { return error == ELOOP || error == EMLINK; }  // O_NOFOLLOW met a link

// The temporary file that is to be renamed over path, beside it (its name
// in temp). It takes the mode of the file it replaces without set-user-ID
// and set-group-ID, and its owner and group, or nothing: a file of another
// user's must not become the run's own. A new name gets the mode a new file
// gets. The old file's status is taken from that file opened (without
// waiting, never through a link); by name only when it may not be read.
// -1 when it cannot be made, with why.
int replacement_beside(const char* path, std::string& temp, TargetWrite& why) {
    why = TargetWrite::not_opened;
    struct stat old;
    bool replaces = true;
    int probe = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (probe >= 0) {
        bool known = fstat(probe, &old) == 0;
        close(probe);
        if (!known) return -1;
    } else if (is_link_refusal(errno)) {
        why = TargetWrite::refused;
        return -1;
    } else if (errno == ENOENT) {
        replaces = false;
    } else if (lstat(path, &old) != 0) {
        return -1;
    }
    if (replaces && !S_ISREG(old.st_mode)) {
        why = TargetWrite::refused;
        return -1;
    }
    std::string pattern = std::string(path) + ".varnek-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return -1;
    mode_t mode;
    bool ok = true;
    if (replaces) {
        struct stat mine;
        ok = fstat(fd, &mine) == 0 && ((mine.st_uid == old.st_uid && mine.st_gid == old.st_gid) ||
                                       fchown(fd, old.st_uid, old.st_gid) == 0);
        mode = old.st_mode & 07777 & ~mode_t(S_ISUID | S_ISGID);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (!ok) why = TargetWrite::refused;
    if (!ok || fchmod(fd, mode) != 0) {
        close(fd);
        unlink(name.data());
        return -1;
    }
    temp = name.data();
    return fd;
}

}  // namespace

NewFile* create_new(const char* path, bool exclusive) {
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC), 0644);
    if (fd < 0) return nullptr;
    return new NewFile{fd};
}

NewFile* create_temp_beside(const char* target, std::string& temp_path) {
    TargetWrite why;
    const int fd = replacement_beside(target, temp_path, why);
    return fd < 0 ? nullptr : new NewFile{fd};
}

bool write_new(NewFile* file, const uint8_t* bytes, size_t count) { return write_all(file->fd, bytes, count); }

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

// Locks that keep two writing runs off one recording: flock on a descriptor.
struct FileLock {
    int fd;
};

LockOutcome lock_file(const char* path, FileLock*& lock) {
    lock = nullptr;
    // A FIFO or device is not opened just for a lock: that could block or consume.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return LockOutcome::unavailable;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return LockOutcome::unavailable;
    int taken;
    while ((taken = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (taken != 0) {
        const bool busy = errno == EWOULDBLOCK;
        close(fd);
        return busy ? LockOutcome::busy : LockOutcome::unavailable;
    }
    lock = new FileLock{fd};
    return LockOutcome::taken;
}

void unlock_file(FileLock* lock) {
    if (!lock) return;
    close(lock->fd);  // which releases the lock
    delete lock;
}

// Part files, the recording's flush, and -get:'s target.

namespace {

// A character device or FIFO, opened without following a link and checked
// as opened: whatever was put there meanwhile is not written.
TargetWrite write_direct(const char* path, const uint8_t* bytes, size_t count) {
    int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return is_link_refusal(errno) ? TargetWrite::refused : TargetWrite::not_opened;
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        close(fd);
        return TargetWrite::refused;
    }
    bool ok = write_all(fd, bytes, count);
    ok = close(fd) == 0 && ok;
    return ok ? TargetWrite::written : TargetWrite::not_written;
}

// A new file beside path, renamed over it.
TargetWrite replace_whole(const char* path, const uint8_t* bytes, size_t count) {
    std::string temp;
    TargetWrite why;
    const int fd = replacement_beside(path, temp, why);
    if (fd < 0) return why;
    bool ok = write_all(fd, bytes, count) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    // The rename replaces whatever stands at path by then, a link too, and
    // never writes through it.
    if (ok) ok = rename(temp.c_str(), path) == 0;
    if (!ok) unlink(temp.c_str());
    // The new name lasts once the folder is on the disk too.
    if (ok) sync_folder_of(path);
    return ok ? TargetWrite::written : TargetWrite::not_written;
}

}  // namespace

InputFile* open_part_input(const char* path, bool& not_regular) {
    not_regular = false;
    // Without waiting: a FIFO would hold the open until a writer came.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOATIME | O_CLOEXEC);
    if (fd < 0 && errno == EPERM) fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0) {
        // A socket cannot be opened at all; it is no part file either.
        not_regular = errno != ENOENT && stat(path, &st) == 0 && !S_ISREG(st.st_mode);
        return nullptr;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        not_regular = true;
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1) (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return new InputFile{fd, true, 0};
}

bool sync_update(UpdateFile* file) { return fsync(file->fd) == 0; }

TargetKind target_kind(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return errno == ENOENT ? TargetKind::missing : TargetKind::other;
    if (S_ISLNK(st.st_mode) || S_ISBLK(st.st_mode)) return TargetKind::refused;
    if (S_ISREG(st.st_mode)) return TargetKind::regular;
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return TargetKind::direct;
    return TargetKind::other;
}

TargetWrite write_target(const char* path, const uint8_t* bytes, size_t count) {
    switch (target_kind(path)) {
        case TargetKind::refused: return TargetWrite::refused;
        case TargetKind::other: return TargetWrite::not_opened;
        case TargetKind::direct: return write_direct(path, bytes, count);
        case TargetKind::missing:
        case TargetKind::regular: break;
    }
    return replace_whole(path, bytes, count);
}

// Folders as arguments, wildcards, and the terminal's width.

bool list_folder(const std::string& path, std::vector<FolderEntry>& entries) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return false;
    while (struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        FolderEntry::Kind kind = FolderEntry::Kind::other;
        // Most file systems tell the type in the entry itself: no stat per name.
        switch (entry->d_type) {
            case DT_REG: kind = FolderEntry::Kind::file; break;
            case DT_DIR: kind = FolderEntry::Kind::folder; break;
            case DT_LNK: kind = FolderEntry::Kind::link; break;
            case DT_UNKNOWN: {
                struct stat st;
                if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) break;
                kind = S_ISREG(st.st_mode)   ? FolderEntry::Kind::file
                       : S_ISDIR(st.st_mode) ? FolderEntry::Kind::folder
                       : S_ISLNK(st.st_mode) ? FolderEntry::Kind::link
                                             : FolderEntry::Kind::other;
                break;
            }
            default: break;
        }
        entries.push_back(FolderEntry{name, kind});
    }
    closedir(dir);
    return true;
}

std::string path_in_folder(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool shell_expands_wildcards() { return true; }

bool path_exists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

unsigned terminal_columns(std::FILE* stream) {
    struct winsize size;
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

// Undo files: private folders and files; status, flush, cut and times of open files.

static bool open_status(int fd, OpenStatus& status) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    fill_id(st, status.id);
    status.size = int64_t(st.st_size);
    status.times.access_sec = st.st_atim.tv_sec;
    status.times.access_nsec = st.st_atim.tv_nsec;
    status.times.modify_sec = st.st_mtim.tv_sec;
    status.times.modify_nsec = st.st_mtim.tv_nsec;
    status.regular = S_ISREG(st.st_mode);
    return true;
}

bool input_status(InputFile* file, OpenStatus& status) { return open_status(file->fd, status); }
bool update_status(UpdateFile* file, OpenStatus& status) { return open_status(file->fd, status); }

bool truncate_update(UpdateFile* file, uint64_t size) { return ftruncate(file->fd, off_t(size)) == 0; }

bool set_update_times(UpdateFile* file, const FileTimes& times) {
    struct timespec ts[2];
    ts[0].tv_sec = static_cast<time_t>(times.access_sec);
    ts[0].tv_nsec = static_cast<long>(times.access_nsec);
    ts[1].tv_sec = static_cast<time_t>(times.modify_sec);
    ts[1].tv_nsec = static_cast<long>(times.modify_nsec);
    return futimens(file->fd, ts) == 0;
}

static bool folder_verdict(const struct stat& st, std::string& why) {
    if (!S_ISDIR(st.st_mode)) {
        why = "its folder is not a folder";
        return false;
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        why = "its folder belongs to another user";
        return false;
    }
    // In a sticky folder others may add files, but not touch the user's own.
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
        why = "others may write to its folder";
        return false;
    }
    return true;
}

bool folder_is_private(const std::string& folder, std::string& why) {
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        why = "its folder can't be read";
        return false;
    }
    return folder_verdict(st, why);
}

PrivateRead read_private_file(const std::string& folder, const std::string& name, size_t limit, std::string& text,
                              std::string& why) {
    // The folder and the file are checked through their handles, so that
    // nothing can be swapped in between the check and the read.
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        why = "its folder can't be read";
        return PrivateRead::unreadable;
    }
    struct stat st;
    if (fstat(dir, &st) != 0 || !folder_verdict(st, why)) {
        close(dir);
        return PrivateRead::unsafe;
    }
    int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int open_error = errno;
    close(dir);
    if (fd < 0) {
        why = open_error == ELOOP ? "it is a symbolic link" : "it can't be read";
        return open_error == ELOOP ? PrivateRead::unsafe : PrivateRead::unreadable;
    }
    PrivateRead verdict = PrivateRead::unsafe;
    if (fstat(fd, &st) != 0) {
        why = "it can't be read";
        verdict = PrivateRead::unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
    } else if (st.st_uid != geteuid()) {
        why = "it belongs to another user";
    } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        why = "others may write to it";
    } else if (st.st_nlink != 1) {
        why = "it has more than one name";
    } else if (uint64_t(st.st_size) > limit) {
        why = "it is too large";
        verdict = PrivateRead::unreadable;
    } else {
        verdict = PrivateRead::ok;
        text.clear();
        char block[65536];
        for (;;) {
            ssize_t n = read(fd, block, sizeof block);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || text.size() + size_t(n) > limit) {
                why = n < 0 ? "it can't be read" : "it is too large";
                verdict = PrivateRead::unreadable;
                break;
            }
            if (n == 0) break;
            text.append(block, size_t(n));
        }
    }
    close(fd);
    return verdict;
}

NewFile* create_private_temp(const std::string& folder, std::string& temp_path) {
    std::string pattern = folder + "/.varnek-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());  // mode 0600
    if (fd < 0) return nullptr;
    if (fchmod(fd, 0600) != 0) {
        close(fd);
        unlink(name.data());
        return nullptr;
    }
    temp_path = name.data();
    return new NewFile{fd};
}

bool sync_folder(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;  // a file system that cannot flush folders
    close(fd);
    return ok;
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
    return write_all_at(file->fd, offset, bytes, count);
}

namespace {

char stopped_path[4096];
volatile sig_atomic_t stopped_armed = 0;

void remove_and_stop(int signal) {
    if (stopped_armed) unlink(stopped_path);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

}  // namespace

void remove_when_stopped(const char* path) {
    static bool installed = false;
    stopped_armed = 0;
    if (!path || std::strlen(path) >= sizeof stopped_path) return;
    std::strcpy(stopped_path, path);
    if (!installed) {
        installed = true;
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action{}, old{};
            if (sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
            action.sa_handler = remove_and_stop;
            sigemptyset(&action.sa_mask);
            (void)sigaction(signal, &action, nullptr);
        }
    }
    stopped_armed = 1;
}

void start_writeback(NewFile* file, uint64_t offset, size_t count) {
#ifdef __linux__
    (void)sync_file_range(file->fd, off_t(offset), off_t(count), SYNC_FILE_RANGE_WRITE);
#else
    (void)file, (void)offset, (void)count;
#endif
}

}  // namespace varnek
