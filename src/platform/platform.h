// Every call into the operating system lives behind this file: one
// implementation per system family (platform_posix.cpp, platform_windows.cpp),
// so nothing else knows where it runs. File names are UTF-8 everywhere.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace varnek {

// The command line as UTF-8 texts (argv[0] first).
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Makes the standard streams write bytes as they are (no line-end
// translation), as on every system.
void prepare_console();

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

bool is_directory(const char* path);
// The size of the file at path; -1 when it cannot be read.
int64_t path_size(const char* path);
// True when the stream is a terminal (a person is watching it).
bool is_terminal(std::FILE* stream);
// True when the stream writes to the null device, where nobody reads.
bool is_null_device(std::FILE* stream);

// A file opened for the scan. Reads go straight into the caller's buffer
// at an offset the caller keeps; files that cannot seek (pipes, terminals)
// are read front to back whatever offset is asked for.
struct InputFile;

// Opens a file for reading. Where the system allows it (the caller's own
// files) the reads leave the access time alone, so that a repair that
// follows the scan keeps the time the file had before the run. Null when it
// cannot be opened. A directory opens but reads as empty.
InputFile* open_input(const char* path);
void close_input(InputFile* file);
// Reads up to count bytes at offset; fewer only at the end of the file or on
// a read error. Returns the number of bytes read.
size_t read_input(InputFile* file, uint64_t offset, uint8_t* buffer, size_t count);
// The system's text for the read error that cut a read short; empty while
// every read ended only where the file does (a directory reads as empty).
std::string input_error(InputFile* file);
// The file's size now; -1 for a file that cannot seek.
int64_t input_size(InputFile* file);
bool file_id_of_input(InputFile* file, FileId& id);
// Advises the system that the file will be read front to back.
void advise_sequential(InputFile* file);

// A regular file opened for reading and writing in place: reads and writes
// at an offset, each whole or not at all as far as the system tells. Where
// the system allows it, reads through it leave the access time alone, as
// open_input's do. Null for anything but a regular file.
struct UpdateFile;
UpdateFile* open_update(const char* path);
size_t read_update(UpdateFile* file, uint64_t offset, uint8_t* buffer, size_t count);
bool write_update(UpdateFile* file, uint64_t offset, const uint8_t* bytes, size_t count);
// Closes the file; false when the system reports that data may be lost.
bool close_update(UpdateFile* file);

// A new file for writing: created exclusively (fails when it exists), or as
// a fresh temporary file beside target (its name in temp_path) with the
// mode the target has or a new file would get. Written as a whole with write_new; sync_new flushes it to
// the disk.
struct NewFile;
NewFile* create_new(const char* path, bool exclusive);
NewFile* create_temp_beside(const char* target, std::string& temp_path);
bool write_new(NewFile* file, const uint8_t* bytes, size_t count);
bool sync_new(NewFile* file);
bool close_new(NewFile* file);

bool rename_file(const char* from, const char* to);
bool remove_file(const char* path);
bool truncate_file(const char* path, uint64_t size);
bool is_regular_file(const char* path);
// Creates the folder and any missing parents, new ones readable by the user
// alone; true when the folder exists afterwards.
bool make_private_dirs(const std::string& path);
// The names in a folder (not . and ..); false when it cannot be read.
bool list_dir(const std::string& path, std::vector<std::string>& names);
// An environment variable's value; empty when unset.
std::string env_text(const char* name);
// The folder for the undo files when no variable names one: under the
// user's own state folder; empty when there is none.
std::string home_state_folder();
// Nanoseconds of calendar time since the epoch.
int64_t now_ns();
// The path with its folder resolved (links, . and ..), for comparing where
// two names point even when the file itself does not exist yet.
std::string resolved_path(const char* path);
// The identity and size of the file at path.
bool file_status(const char* path, FileId& id, int64_t& size);

bool get_file_times(const char* path, FileTimes& times);
bool set_file_times(const char* path, const FileTimes& times);

// True when the process may write a file up to end bytes (the file-size
// limit would otherwise cut a write short).
bool write_allowed_up_to(uint64_t end);

// A stream that takes any output and keeps none; null when there is none.
std::FILE* open_null_output();

// Milliseconds of wall time from an arbitrary fixed start point.
int64_t clock_ms();

// Calendar conversions. make_local_time normalises its fields and lets the
// system decide daylight saving; the result is seconds since the epoch.
int64_t make_local_time(std::tm fields);
bool local_time_of(int64_t seconds, std::tm& out);
// The local date and time of seconds since the epoch, "YYYY-MM-DD" and
// "HH:MM:SS" with separator between them.
std::string local_date_time(int64_t seconds, char separator);

// The classic ctime text of a broken-down time: "Thu Jan  1 20:15:00 2009\n".
std::string ctime_text(const std::tm& fields);

// Locks that keep two writing runs off one recording.
struct FileLock;
enum class LockOutcome {
    taken,        // the lock is held until unlock_file
    busy,         // another holder has it; nothing is held
    unavailable,  // not a regular file, or it cannot be opened or locked; nothing is held
};
// Takes an exclusive lock on the regular file at path without waiting. It
// binds only those who ask for it: reads and writes go on as before.
LockOutcome lock_file(const char* path, FileLock*& lock);
void unlock_file(FileLock* lock);

// Part files, the recording's flush, and -get:'s target.

// Opens a part file for reading as open_input does, but only a regular file:
// anything else (a FIFO, a device, a directory, a socket, also behind a
// link) is opened without waiting, if at all, and closed again; null then,
// with not_regular set. Null with not_regular clear when nothing is there
// or it cannot be opened.
InputFile* open_part_input(const char* path, bool& not_regular);

// Flushes what was written through the file to the disk; false when the
// system reports that it may be lost.
bool sync_update(UpdateFile* file);

// What stands at a path that a file is to be written to; a link as the last
// name is not followed.
enum class TargetKind {
    missing,  // nothing: a new file is made
    regular,  // replaced whole by a new file renamed over it
    direct,   // a character device or a FIFO: written directly
    refused,  // a symbolic link or a block device: never written through
    other,    // a directory, a socket, or a status that cannot be read
};
TargetKind target_kind(const char* path);

enum class TargetWrite { written, refused, not_opened, not_written };
// Writes bytes as the whole content of the file at path, deciding on the file
// as opened, not on its name: a link or a block device is refused (also one
// put there while this runs); a character device or FIFO is written
// directly; any other file is replaced by a new one beside it, flushed and
// renamed into place, which keeps the old one's owner and group (refused
// when they cannot be set) and its mode without set-user-ID and set-group-ID.
TargetWrite write_target(const char* path, const uint8_t* bytes, size_t count);

// Folders named as arguments, and the wildcards a shell leaves to the program.
struct FolderEntry {
    enum class Kind { file, folder, link, other };  // link: a symbolic link, not followed
    std::string name;
    Kind kind;
};
// The entries of a folder (not . and ..), each with its own type: a link is
// a link, wherever it points. False when the folder cannot be read.
bool list_folder(const std::string& path, std::vector<FolderEntry>& entries);
// The path of name inside folder, with the separator the system and the
// folder's own name use.
std::string path_in_folder(const std::string& folder, const std::string& name);
// True where the shell expands * and ? before the program starts; where it
// does not, '\\' separates folders as '/' does.
bool shell_expands_wildcards();
// True when something exists at path (a link counts, wherever it points).
bool path_exists(const char* path);
// Columns of the terminal that stream writes to; 0 when unknown.
unsigned terminal_columns(std::FILE* stream);

// Undo files: private folders and files; status, flush, cut and times of open files.

// The status of an open file, read from its handle, not from its name.
struct OpenStatus {
    FileId id;
    int64_t size = -1;
    FileTimes times;
    bool regular = false;  // a regular file (not a device, FIFO, folder or socket)
};
bool input_status(InputFile* file, OpenStatus& status);
bool update_status(UpdateFile* file, OpenStatus& status);
bool truncate_update(UpdateFile* file, uint64_t size);
bool set_update_times(UpdateFile* file, const FileTimes& times);

// True when nobody but the user (and root) can change what the folder holds:
// it belongs to the user or to root, and nobody else may write to it unless
// it is sticky. Otherwise false, with why in a few words.
bool folder_is_private(const std::string& folder, std::string& why);
enum class PrivateRead { ok, unsafe, unreadable };
// Reads the whole of file name in folder, at most limit bytes, when only the
// user can have written it: the folder passes folder_is_private, and the
// file, opened without following a link, is a regular file of the user's
// own with one name that nobody else may write. unsafe with why otherwise.
PrivateRead read_private_file(const std::string& folder, const std::string& name, size_t limit, std::string& text,
                              std::string& why);
// A new file in folder that only the user may read or write, under a name of
// its own beginning with ".varnek-" (in temp_path).
NewFile* create_private_temp(const std::string& folder, std::string& temp_path);
// Flushes the folder's entries (a rename in it) to the disk; true where the
// file system cannot flush a folder.
bool sync_folder(const std::string& folder);

}  // namespace varnek

// -salvage: the new file and its folder.
namespace varnek {

// True when path itself is a symbolic link (or, on Windows, a reparse
// point), whatever it points to.
bool is_symlink(const char* path);
// Creates one folder with the mode a new folder gets; true when it exists
// as a folder afterwards.
bool make_folder(const char* path);
// Writes count bytes at offset of a new file, apart from its sequential
// writes; for a field that is known only once the file is written.
bool write_new_at(NewFile* file, uint64_t offset, const uint8_t* bytes, size_t count);
// The temporary file that a run stopped by a signal (Ctrl-C, a closed
// terminal, kill) would leave behind: removed on the way out, before the
// signal ends the run as it would have. Null: none any more. A signal the
// run was started to ignore stays ignored. Windows removes nothing.
void remove_when_stopped(const char* path);
// Asks the system to start writing count bytes at offset of a new file to
// the disk, without waiting: the flush at the end then has less to wait for.
void start_writeback(NewFile* file, uint64_t offset, size_t count);
// Flushes the folder that holds path to the disk, so that a file renamed
// into it stays there.
bool sync_folder_of(const char* path);

}  // namespace varnek
