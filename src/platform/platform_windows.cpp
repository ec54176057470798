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

bool read_at(HANDLE h, bool seekable, uint64_t offset, uint8_t* buffer, size_t count, size_t& done) {
    done = 0;
    while (done < count) {
        OVERLAPPED at{};
        at.Offset = DWORD((offset + done) & 0xFFFFFFFFu);
        at.OffsetHigh = DWORD((offset + done) >> 32);
        DWORD chunk = count - done > 0x40000000 ? 0x40000000 : DWORD(count - done);
        DWORD got = 0;
        if (!ReadFile(h, buffer + done, chunk, &got, seekable ? &at : nullptr) || got == 0) break;
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
    return new InputFile{h, GetFileType(h) == FILE_TYPE_DISK};
}

void close_input(InputFile* file) {
    if (!file) return;
    CloseHandle(file->handle);
    delete file;
}

size_t read_input(InputFile* file, uint64_t offset, uint8_t* buffer, size_t count) {
    size_t done = 0;
    read_at(file->handle, file->seekable, offset, buffer, count, done);
    return done;
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

NewFile* create_temp_beside(const char* target, std::string& temp_path) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t seed = uint64_t(now_ns()) ^ GetCurrentProcessId();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = std::string(target) + ".varnek-";
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

// The rename is made with MOVEFILE_WRITE_THROUGH, which flushes it.
bool sync_folder_of(const char*) { return true; }

}  // namespace varnek
