// Every call into the operating system lives behind this file, so a port
// to another system replaces platform.cpp alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace varnek {

// 64-bit seek and tell on a stdio stream. seek_file returns false when the
// position would be invalid (before offset 0); the position is then unchanged.
bool seek_file(std::FILE* file, int64_t offset, int whence);
int64_t tell_file(std::FILE* file);

// A file's identity (device and inode), for telling whether two names are
// the same file.
struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;
};

// Access and modification times with their sub-second part.
struct FileTimes {
    int64_t access_sec = 0;
    int64_t access_nsec = 0;
    int64_t modify_sec = 0;
    int64_t modify_nsec = 0;
};

bool file_id_of_path(const char* path, FileId& id);
bool file_id_of_stream(std::FILE* file, FileId& id);
bool is_directory(const char* path);
// Opens a file for reading, binary. Where the system allows it (the caller's
// own files) the reads leave the access time alone, so that a repair that
// follows the scan keeps the time the file had before the run.
std::FILE* open_for_reading(const char* path);
bool get_file_times(const char* path, FileTimes& times);
bool set_file_times(const char* path, const FileTimes& times);

// True when the process may write a file up to end bytes (the file-size
// limit would otherwise cut a write short).
bool write_allowed_up_to(uint64_t end);

// Advises the kernel that the file will be read front to back.
void advise_sequential(std::FILE* file);

// The size of an open file; -1 when its status cannot be read.
int64_t file_size(std::FILE* file);

// A read-only view of a window of a regular file. Pages that vanish while
// it is read (the file cut short, a read error) read as zeros instead of
// ending the process; mapping_lost_pages() then tells that it happened.
struct FileMapping {
    const uint8_t* data = nullptr;
    uint64_t offset = 0;  // of the window in the file, a multiple of the page size
    uint64_t length = 0;
};
uint64_t page_size();
bool map_window(std::FILE* file, uint64_t offset, uint64_t length, bool sequential, FileMapping& mapping);
void unmap_window(FileMapping& mapping);
bool mapping_lost_pages();
void clear_lost_pages();

// Milliseconds of wall time from an arbitrary fixed start point.
int64_t clock_ms();

// Calendar conversions. make_local_time normalises its fields and lets the
// system decide daylight saving; the result is seconds since the epoch.
int64_t make_local_time(std::tm fields);
bool local_time_of(int64_t seconds, std::tm& out);

// The classic ctime text of a broken-down time: "Thu Jan  1 20:15:00 2009\n".
std::string ctime_text(const std::tm& fields);

}  // namespace varnek
