// The platform on Windows: wide-character file calls with UTF-8 names
// converted here, binary streams, 64-bit offsets, 100 ns file times, and
// the volume serial number and file index as a file's identity.
#include "platform/platform.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <chrono>
#include <cstdlib>
#include <cwchar>

namespace varnek {

static_assert(sizeof(time_t) == 8, "times must be 64-bit");

namespace {

std::wstring wide(const char* text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring out(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], length);
    out.resize(size_t(length) - 1);
    return out;
}

std::string narrow(const wchar_t* text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string out(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], length, nullptr, nullptr);
    out.resize(size_t(length) - 1);
    return out;
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t epoch_ticks = 116444736000000000LL;

int64_t ticks_of(const FILETIME& t) {
    return int64_t((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) - epoch_ticks;
}

FILETIME filetime_of(int64_t seconds, int64_t nanoseconds) {
    uint64_t ticks = uint64_t(seconds * 10000000 + nanoseconds / 100 + epoch_ticks);
    FILETIME t;
    t.dwLowDateTime = DWORD(ticks & 0xFFFFFFFFu);
    t.dwHighDateTime = DWORD(ticks >> 32);
    return t;
}

bool id_of_handle(HANDLE h, FileId& id, int64_t* size = nullptr) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    id.device = info.dwVolumeSerialNumber;
    id.inode = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    if (size) *size = int64_t((uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    return true;
}

HANDLE open_existing(const char* path, DWORD access) {
    // Backup semantics: a directory opens too, and reads as empty.
    return CreateFileW(wide(path).c_str(), access, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

// Reads until count bytes are in or the file ends; error is the system's
// code of a read that failed (0: none; the end of a file or a pipe is none).
bool read_at(HANDLE h, bool seekable, uint64_t offset, uint8_t* buffer, size_t count, size_t& done,
             DWORD* error = nullptr) {
    done = 0;
    while (done < count) {
        OVERLAPPED at{};
        at.Offset = DWORD((offset + done) & 0xFFFFFFFFu);
        at.OffsetHigh = DWORD((offset + done) >> 32);
        DWORD chunk = count - done > 0x40000000 ? 0x40000000 : DWORD(count - done);
        DWORD got = 0;
        if (!ReadFile(h, buffer + done, chunk, &got, seekable ? &at : nullptr)) {
            DWORD code = GetLastError();
            if (error && code != ERROR_HANDLE_EOF && code != ERROR_BROKEN_PIPE) *error = code;
            break;
        }
        if (got == 0) break;
        done += got;
    }
    return true;
}

bool write_at(HANDLE h, bool positioned, uint64_t offset, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        OVERLAPPED at{};
        at.Offset = DWORD((offset + done) & 0xFFFFFFFFu);
        at.OffsetHigh = DWORD((offset + done) >> 32);
        DWORD chunk = count - done > 0x40000000 ? 0x40000000 : DWORD(count - done);
        DWORD put = 0;
        if (!WriteFile(h, bytes + done, chunk, &put, positioned ? &at : nullptr) || put == 0) return false;
        done += put;
    }
    return true;
}

}  // namespace

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide_args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide_args) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(narrow(wide_args[i]));
    LocalFree(wide_args);
    return args;
}

void prepare_console() {
    // Line ends stay LF, as on every other system; texts are UTF-8, which
    // a console shows as such once told.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
}

bool is_directory(const char* path) {
    DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int64_t path_size(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool is_terminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

bool is_null_device(std::FILE* stream) {
    // NUL is a character device that is not a console; a console is read.
    HANDLE h = HANDLE(_get_osfhandle(_fileno(stream)));
    DWORD mode;
    return h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR && !GetConsoleMode(h, &mode);
}

struct InputFile {
    HANDLE handle;
    bool seekable;
    DWORD error;  // the system's code of the read that failed; 0: none
};

InputFile* open_input(const char* path) {
    // With the right to set attributes the handle can be told to leave the
    // access time alone; without it the file is read all the same.
    HANDLE h = open_existing(path, GENERIC_READ | FILE_WRITE_ATTRIBUTES);
    if (h != INVALID_HANDLE_VALUE) {
        FILETIME keep;
        keep.dwLowDateTime = 0xFFFFFFFFu;
        keep.dwHighDateTime = 0xFFFFFFFFu;
        SetFileTime(h, nullptr, &keep, nullptr);
    } else {
        h = open_existing(path, GENERIC_READ);
    }
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return new InputFile{h, GetFileType(h) == FILE_TYPE_DISK, 0};
}

void close_input(InputFile* file) {
    if (!file) return;
    CloseHandle(file->handle);
    delete file;
}

size_t read_input(InputFile* file, uint64_t offset, uint8_t* buffer, size_t count) {
    size_t done = 0;
    read_at(file->handle, file->seekable, offset, buffer, count, done, &file->error);
    return done;
}

std::string input_error(InputFile* file) {
    if (file->error == 0) return "";
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, file->error, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    if (n == 0) return "system error " + std::to_string(unsigned(file->error));
    return std::string(text, n);
}

int64_t input_size(InputFile* file) {
    LARGE_INTEGER size;
    if (!file->seekable || !GetFileSizeEx(file->handle, &size)) return -1;
    return int64_t(size.QuadPart);
}

bool file_id_of_input(InputFile* file, FileId& id) { return id_of_handle(file->handle, id); }

void advise_sequential(InputFile*) {}

struct UpdateFile {
    HANDLE handle;
};

UpdateFile* open_update(const char* path) {
    if (is_directory(path)) return nullptr;
    HANDLE h = open_existing(path, GENERIC_READ | GENERIC_WRITE);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    if (GetFileType(h) != FILE_TYPE_DISK) {  // a device or a pipe is no recording to update
        CloseHandle(h);
        return nullptr;
    }
    // The old bytes are read through this handle before they are written
    // over: without the access time moving, as for the scan.
    FILETIME keep;
    keep.dwLowDateTime = 0xFFFFFFFFu;
    keep.dwHighDateTime = 0xFFFFFFFFu;
    SetFileTime(h, nullptr, &keep, nullptr);
    return new UpdateFile{h};
}

size_t read_update(UpdateFile* file, uint64_t offset, uint8_t* buffer, size_t count) {
    size_t done = 0;
    read_at(file->handle, true, offset, buffer, count, done);
    return done;
}

bool write_update(UpdateFile* file, uint64_t offset, const uint8_t* bytes, size_t count) {
    return write_at(file->handle, true, offset, bytes, count);
}

bool close_update(UpdateFile* file) {
    bool ok = CloseHandle(file->handle) != 0;
    delete file;
    return ok;
}

struct NewFile {
    HANDLE handle;
};

NewFile* create_new(const char* path, bool exclusive) {
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return new NewFile{h};
}

namespace {

// A new file named prefix and six random letters or digits, made only where
// no file of that name exists.
NewFile* create_temp_named(const std::string& prefix, std::string& temp_path) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t seed = uint64_t(now_ns()) ^ GetCurrentProcessId();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            name += letters[(seed >> 33) % 36];
        }
        if (NewFile* file = create_new(name.c_str(), true)) {
            temp_path = name;
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return nullptr;
    }
    return nullptr;
}

}  // namespace

NewFile* create_temp_beside(const char* target, std::string& temp_path) {
    return create_temp_named(std::string(target) + ".varnek-", temp_path);
}

bool write_new(NewFile* file, const uint8_t* bytes, size_t count) {
    return write_at(file->handle, false, 0, bytes, count);
}

bool sync_new(NewFile* file) { return FlushFileBuffers(file->handle) != 0; }

bool close_new(NewFile* file) {
    bool ok = CloseHandle(file->handle) != 0;
    delete file;
    return ok;
}

bool rename_file(const char* from, const char* to) {
    return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool remove_file(const char* path) { return DeleteFileW(wide(path).c_str()) != 0; }

bool truncate_file(const char* path, uint64_t size) {
    HANDLE h = open_existing(path, GENERIC_WRITE);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(size);
    bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    return CloseHandle(h) && ok;
}

bool is_regular_file(const char* path) {
    HANDLE h = open_existing(path, 0);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool regular = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                   !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(h);
    return regular;
}

bool make_private_dirs(const std::string& path) {
    if (path.empty()) return false;
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/' && path[at] != '\\') continue;
        std::string part = path.substr(0, at);
        if (part.size() == 2 && part[1] == ':') continue;  // a drive
        CreateDirectoryW(wide(part.c_str()).c_str(), nullptr);
    }
    return is_directory(path.c_str());
}

bool list_dir(const std::string& path, std::vector<std::string>& names) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(wide((path + "/*").c_str()).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
        std::string name = narrow(entry.cFileName);
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return true;
}

std::string env_text(const char* name) {
    const wchar_t* value = _wgetenv(wide(name).c_str());
    return value ? narrow(value) : std::string();
}

std::string home_state_folder() {
    std::string dir = env_text("XDG_STATE_HOME");
    if (!dir.empty()) return dir + "/varnek/undo";
    dir = env_text("LOCALAPPDATA");
    if (!dir.empty()) return dir + "/varnek/undo";
    return std::string();
}

int64_t now_ns() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return ticks_of(now) * 100;
}

std::string resolved_path(const char* path) {
    std::wstring name = wide(path);
    DWORD length = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (length == 0) return path;
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(name.c_str(), length, &full[0], nullptr);
    full.resize(length);
    for (wchar_t& c : full)
        if (c == L'\\') c = L'/';
    return narrow(full.c_str());
}

bool file_status(const char* path, FileId& id, int64_t& size) {
    HANDLE h = open_existing(path, 0);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = id_of_handle(h, id, &size);
    CloseHandle(h);
    return ok;
}

bool get_file_times(const char* path, FileTimes& times) {
    HANDLE h = open_existing(path, FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME access, modify;
    bool ok = GetFileTime(h, nullptr, &access, &modify) != 0;
    CloseHandle(h);
    if (!ok) return false;
    int64_t a = ticks_of(access), m = ticks_of(modify);
    times.access_sec = a / 10000000;
    times.access_nsec = (a % 10000000) * 100;
    times.modify_sec = m / 10000000;
    times.modify_nsec = (m % 10000000) * 100;
    return true;
}

bool set_file_times(const char* path, const FileTimes& times) {
    HANDLE h = open_existing(path, FILE_WRITE_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME access = filetime_of(times.access_sec, times.access_nsec);
    FILETIME modify = filetime_of(times.modify_sec, times.modify_nsec);
    bool ok = SetFileTime(h, nullptr, &access, &modify) != 0;
    return CloseHandle(h) && ok;
}

bool write_allowed_up_to(uint64_t) { return true; }  // no file-size limit on this system

// A file open for writing here cannot be removed from the thread that a
// console's Ctrl-C runs on.
void remove_when_stopped(const char*) {}

std::FILE* open_null_output() { return std::fopen("NUL", "wb"); }

int64_t clock_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t make_local_time(std::tm fields) { return int64_t(_mktime64(&fields)); }

bool local_time_of(int64_t seconds, std::tm& out) {
    __time64_t t = seconds;
    return _localtime64_s(&out, &t) == 0;
}

// Locks that keep two writing runs off one recording: LockFileEx on one byte
// far beyond any recording's end, since a locked range cannot be read or
// written through other handles, the run's own included.
struct FileLock {
    HANDLE handle;
};

namespace {

OVERLAPPED lock_place() {
    OVERLAPPED at{};
    at.Offset = 0;
    at.OffsetHigh = 0x40000000u;  // at 2^62
    return at;
}

}  // namespace

LockOutcome lock_file(const char* path, FileLock*& lock) {
    lock = nullptr;
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return LockOutcome::unavailable;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        return LockOutcome::unavailable;
    }
    OVERLAPPED at = lock_place();
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const bool busy = GetLastError() == ERROR_LOCK_VIOLATION;
        CloseHandle(h);
        return busy ? LockOutcome::busy : LockOutcome::unavailable;
    }
    lock = new FileLock{h};
    return LockOutcome::taken;
}

void unlock_file(FileLock* lock) {
    if (!lock) return;
    OVERLAPPED at = lock_place();
    UnlockFileEx(lock->handle, 0, 1, 0, &at);
    CloseHandle(lock->handle);
    delete lock;
}

// Part files, the recording's flush, and -get:'s target.

namespace {

// The file at path itself, a link or other reparse point not followed.
HANDLE open_unfollowed(const char* path, DWORD access) {
    return CreateFileW(wide(path).c_str(), access, share_all, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The kind of the file open as h.
TargetKind kind_of_handle(HANDLE h) {
    DWORD type = GetFileType(h);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return TargetKind::direct;
    BY_HANDLE_FILE_INFORMATION info;
    // A disk or volume opened as a device gives no file information.
    if (type != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)) return TargetKind::refused;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return TargetKind::refused;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return TargetKind::other;
    return TargetKind::regular;
}

}  // namespace

InputFile* open_part_input(const char* path, bool& not_regular) {
    not_regular = false;
    HANDLE probe = open_existing(path, 0);
    if (probe == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    bool regular = GetFileType(probe) == FILE_TYPE_DISK && GetFileInformationByHandle(probe, &info) &&
                   !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(probe);
    if (!regular) {
        not_regular = true;
        return nullptr;
    }
    InputFile* file = open_input(path);
    // Replaced by something else between the two opens: not read either.
    if (file && !file->seekable) {
        close_input(file);
        not_regular = true;
        return nullptr;
    }
    return file;
}

bool sync_update(UpdateFile* file) { return FlushFileBuffers(file->handle) != 0; }

TargetKind target_kind(const char* path) {
    HANDLE h = open_unfollowed(path, 0);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? TargetKind::missing : TargetKind::other;
    }
    TargetKind kind = kind_of_handle(h);
    CloseHandle(h);
    return kind;
}

TargetWrite write_target(const char* path, const uint8_t* bytes, size_t count) {
    TargetKind kind = target_kind(path);
    if (kind == TargetKind::refused) return TargetWrite::refused;
    if (kind == TargetKind::other) return TargetWrite::not_opened;
    if (kind == TargetKind::direct) {
        HANDLE h = open_unfollowed(path, GENERIC_WRITE);
        if (h == INVALID_HANDLE_VALUE) return TargetWrite::not_opened;
        if (kind_of_handle(h) != TargetKind::direct) {
            CloseHandle(h);
            return TargetWrite::refused;
        }
        bool ok = write_at(h, false, 0, bytes, count);
        ok = CloseHandle(h) != 0 && ok;
        return ok ? TargetWrite::written : TargetWrite::not_written;
    }
    // A new file beside it, renamed over it; the rename replaces a link put
    // there meanwhile and never writes through it.
    std::string temp;
    NewFile* file = create_temp_beside(path, temp);
    if (!file) return TargetWrite::not_opened;
    bool ok = write_new(file, bytes, count) && sync_new(file);
    ok = close_new(file) && ok;
    if (ok) ok = rename_file(temp.c_str(), path);
    if (!ok) remove_file(temp.c_str());
    return ok ? TargetWrite::written : TargetWrite::not_written;
}

// Folders as arguments, wildcards, and the terminal's width.

bool list_folder(const std::string& path, std::vector<FolderEntry>& entries) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(wide((path + "/*").c_str()).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
        std::string name = narrow(entry.cFileName);
        if (name == "." || name == "..") continue;
        // Symbolic links and junctions are links; other reparse points (files
        // kept in a cloud, for one) are what their attributes say.
        const DWORD attributes = entry.dwFileAttributes;
        FolderEntry::Kind kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FolderEntry::Kind::folder
                                                                          : FolderEntry::Kind::file;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            (entry.dwReserved0 == IO_REPARSE_TAG_SYMLINK || entry.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT))
            kind = FolderEntry::Kind::link;
        else if (attributes & FILE_ATTRIBUTE_DEVICE)
            kind = FolderEntry::Kind::other;
        entries.push_back(FolderEntry{name, kind});
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return true;
}

std::string path_in_folder(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    const char last = folder.back();
    if (last == '/' || last == '\\' || (folder.size() == 2 && last == ':')) return folder + name;
    // The separator the folder's name uses already; '/' when it has none.
    const bool backslash = folder.find('\\') != std::string::npos && folder.find('/') == std::string::npos;
    return folder + (backslash ? "\\" : "/") + name;
}

bool shell_expands_wildcards() { return false; }

bool path_exists(const char* path) { return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

unsigned terminal_columns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE h = HANDLE(_get_osfhandle(_fileno(stream)));
    if (h == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(h, &info)) return 0;
    return unsigned(info.srWindow.Right - info.srWindow.Left + 1);
}

// Undo files: private folders and files; status, flush, cut and times of open files.

namespace {

bool handle_status(HANDLE h, OpenStatus& status) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    status.id.device = info.dwVolumeSerialNumber;
    status.id.inode = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    status.size = int64_t((uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    int64_t a = ticks_of(info.ftLastAccessTime), m = ticks_of(info.ftLastWriteTime);
    status.times.access_sec = a / 10000000;
    status.times.access_nsec = (a % 10000000) * 100;
    status.times.modify_sec = m / 10000000;
    status.times.modify_nsec = (m % 10000000) * 100;
    status.regular = GetFileType(h) == FILE_TYPE_DISK && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    return true;
}

}  // namespace

bool input_status(InputFile* file, OpenStatus& status) { return handle_status(file->handle, status); }
bool update_status(UpdateFile* file, OpenStatus& status) { return handle_status(file->handle, status); }


bool truncate_update(UpdateFile* file, uint64_t size) {
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(size);
    return SetFilePointerEx(file->handle, at, nullptr, FILE_BEGIN) && SetEndOfFile(file->handle);
}

bool set_update_times(UpdateFile* file, const FileTimes& times) {
    FILETIME access = filetime_of(times.access_sec, times.access_nsec);
    FILETIME modify = filetime_of(times.modify_sec, times.modify_nsec);
    return SetFileTime(file->handle, nullptr, &access, &modify) != 0;
}

// The user's folders are guarded by their access lists, which a file's
// creator inherits; there are no modes to check.
bool folder_is_private(const std::string& folder, std::string& why) {
    if (is_directory(folder.c_str())) return true;
    why = "its folder can't be read";
    return false;
}

PrivateRead read_private_file(const std::string& folder, const std::string& name, size_t limit, std::string& text,
                              std::string& why) {
    if (!folder_is_private(folder, why)) return PrivateRead::unreadable;
    // The link itself is opened, not what it points to.
    HANDLE h = CreateFileW(wide((folder + "/" + name).c_str()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        why = "it can't be read";
        return PrivateRead::unreadable;
    }
    BY_HANDLE_FILE_INFORMATION info;
    PrivateRead verdict = PrivateRead::unsafe;
    if (!GetFileInformationByHandle(h, &info)) {
        why = "it can't be read";
        verdict = PrivateRead::unreadable;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        why = "it is a symbolic link";
    } else if (GetFileType(h) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = "it is not a regular file";
    } else if (info.nNumberOfLinks != 1) {
        why = "it has more than one name";
    } else if (info.nFileSizeHigh != 0 || info.nFileSizeLow > limit) {
        why = "it is too large";
        verdict = PrivateRead::unreadable;
    } else {
        text.assign(info.nFileSizeLow, '\0');
        size_t done = 0;
        read_at(h, true, 0, reinterpret_cast<uint8_t*>(&text[0]), text.size(), done);
        verdict = done == text.size() ? PrivateRead::ok : PrivateRead::unreadable;
        if (verdict != PrivateRead::ok) why = "it can't be read";
    }
    CloseHandle(h);
    return verdict;
}

NewFile* create_private_temp(const std::string& folder, std::string& temp_path) {
    return create_temp_named(folder + "/.varnek-", temp_path);
}

// A rename with MOVEFILE_WRITE_THROUGH is on the disk when it returns.
// A rename is made with MOVEFILE_WRITE_THROUGH, which flushes it.
bool sync_folder(const std::string&) { return true; }

}  // namespace varnek

// -salvage: the new file and its folder.
namespace varnek {

bool is_symlink(const char* path) {
    DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool make_folder(const char* path) {
    CreateDirectoryW(wide(path).c_str(), nullptr);
    return is_directory(path);
}

bool write_new_at(NewFile* file, uint64_t offset, const uint8_t* bytes, size_t count) {
    // A positioned write moves the file pointer of a synchronous handle:
    // it is put back, so that sequential writes go on where they were.
    LARGE_INTEGER zero{}, at{};
    if (!SetFilePointerEx(file->handle, zero, &at, FILE_CURRENT)) return false;
    bool ok = write_at(file->handle, true, offset, bytes, count);
    return SetFilePointerEx(file->handle, at, nullptr, FILE_BEGIN) && ok;
}

void start_writeback(NewFile*, uint64_t, size_t) {}

}  // namespace varnek
