// Undo files: what the repairs of one run overwrite in a recording, saved
// before the first byte is written, and -undo, which writes it back.
//
// An undo file is a text of lines, rewritten whole (a private file renamed
// into place) before each write and after it:
//   varnek-undo 2
//   recording <name as given, hex>
//   resolved <name with its folder resolved, hex>
//   identity <device> <inode>                    of the recording's first file
//   made <seconds> <nanoseconds>
//   file <part> <device> <inode> <size> <atime s> <ns> <mtime s> <ns>   before its first write
//   packet <part> <offset> <old bytes, hex> <new bytes, hex>
//   after|failed <part> <size> <atime s> <ns> <mtime s> <ns>            once the write is done
//   ...
//   undoing                                      once -undo has begun to write
//   end <lines before this one> <CRC-32 of every byte before this line, hex>
// A packet line without its after line is the write a run was cut short at.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "analysis/scan_state.h"
#include "repair/session.h"
#include "platform/platform.h"
#include "util/run_options.h"

namespace varnek {

// The folder of the undo files: $VARNEK_UNDO_DIR, else
// $XDG_STATE_HOME/varnek/undo, else ~/.local/state/varnek/undo; empty when
// none can be named.
std::string undo_folder();

// Whether a repair could save its undo file: a folder is named, and it is
// private (or does not exist yet, and so would be made so). For -dry,
// which must refuse what the real run refuses.
bool undo_folder_usable();

// Adds to the run's undo file of the recording the part file's identity,
// size and times (once per part file) and the bytes at offset before and
// after the write, and flushes the file and its folder to the disk. False
// when it cannot be saved, or when the outcome of the run's last write was
// never noted.
bool save_undo(RepairSession& session, const char* recording, unsigned part, uint64_t offset, const uint8_t* old_bytes,
               const uint8_t* new_bytes, size_t count, const FileTimes& times, int64_t size);

// After the write that save_undo announced: notes the part file's size and
// times as they are now (written: the write was made whole; else it may
// have been made in part or not at all). Does nothing when no write waits.
void note_undo_after(RepairSession& session, const char* recording, unsigned part, bool written);

// A part file's size and times at one point of the run.
struct UndoFileState {
    int64_t size = 0;
    FileTimes times;
};

// An undo file as read.
struct UndoJournal {
    std::string recording, resolved;
    FileId identity;
    int64_t made_sec = 0, made_nsec = 0;
    struct Part {
        unsigned part = 0;
        FileId id;
        UndoFileState before;
    };
    std::vector<Part> parts;  // in the order of their first writes
    enum class Outcome { done, failed, cut_short };
    struct Write {
        unsigned part = 0;
        uint64_t offset = 0;
        std::vector<uint8_t> old_bytes, new_bytes;
        Outcome outcome = Outcome::cut_short;
        UndoFileState after;  // with done and failed
    };
    std::vector<Write> writes;
    bool undoing = false;
};

// Reads an undo file's text, every field strictly, and checks that its
// writes fit together. False with what is wrong, in a few words.
bool parse_undo(const std::string& text, UndoJournal& journal, std::string& why);

// The text with its end line added.
std::string sealed_undo_text(const std::string& lines);

// What -undo did for one recording.
struct UndoResult {
    bool done = false;                // undone (with -dry: would be)
    size_t packets = 0;               // packets written back
    int64_t made = 0;                 // when the repair ran, seconds since the epoch; 0: not known
    std::vector<std::string> errors;  // the error lines' messages, in order
};

// -dry: what the -undo steps of the run before this one would have done,
// so that a recording named again is seen as the real run would leave it.
struct DryUndo {
    std::vector<std::string> used;  // the undo files they would have marked as used
    struct File {
        FileId id;
        UndoFileState state;
        std::map<uint64_t, uint8_t> bytes;  // written back, by offset
    };
    std::vector<File> files;  // the part files as they would have left them
};

// -undo for one recording: finds its latest undo file, checks it and the
// recording, writes the old bytes back, restores the times and marks the
// undo file as used. Writes nothing unless every check passes; with -dry,
// notes in dry what it would have done.
UndoResult undo_recording(const char* recording, const RunOptions& options, DryUndo* dry = nullptr);

// The local date and time of seconds since the epoch, "YYYY-MM-DD HH:MM:SS".
std::string undo_date(int64_t seconds);

}  // namespace varnek
