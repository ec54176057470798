#include "repair/undo.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "ts/packet.h"
#include "util/output.h"

namespace varnek {

namespace {

const char version_line[] = "varnek-undo 2";
// Far beyond what one run writes (a few packets), small enough to read whole.
constexpr size_t max_undo_bytes = size_t(1) << 20;
constexpr size_t max_writes = 64;
constexpr size_t max_write_bytes = 3 * packet_size;  // -fixqbx: record, PAT and PMT in one write
// A time a write sets may lie this far before the clock read ahead of it:
// file systems keep times coarser than the clock (FAT: 2 s steps).
constexpr int64_t time_slack_sec = 2;

std::string hex_of(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string hex_of(const std::string& text) {
    return hex_of(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case too: the writer never makes it
}

// Lower-case hex of at least one byte; false for anything else.
bool bytes_of(const std::string& hex, std::vector<uint8_t>& out) {
    if (hex.empty() || hex.size() % 2 != 0) return false;
    out.clear();
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]), low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        out.push_back(uint8_t(high << 4 | low));
    }
    return true;
}

bool text_of(const std::string& hex, std::string& out) {
    std::vector<uint8_t> bytes;
    if (!bytes_of(hex, bytes) || std::find(bytes.begin(), bytes.end(), 0) != bytes.end()) return false;
    out.assign(bytes.begin(), bytes.end());
    return true;
}

// Decimal digits without sign or leading zero, at most max.
bool unsigned_of(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = uint64_t(c - '0');
        if (digit > max || value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool int_of(const std::string& text, int64_t& value) {
    uint64_t magnitude = 0;
    if (!text.empty() && text[0] == '-') {
        // No "-0": every number has one spelling.
        if (!unsigned_of(text.substr(1), uint64_t(INT64_MAX) + 1, magnitude) || magnitude == 0) return false;
        value = magnitude == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(magnitude);
        return true;
    }
    if (!unsigned_of(text, uint64_t(INT64_MAX), magnitude)) return false;
    value = int64_t(magnitude);
    return true;
}

std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    for (size_t at = 0;;) {
        const size_t space = line.find(' ', at);
        words.push_back(line.substr(at, space == std::string::npos ? std::string::npos : space - at));
        if (space == std::string::npos) return words;
        at = space + 1;
    }
}

bool id_of(const std::string& device, const std::string& inode, FileId& id) {
    return unsigned_of(device, UINT64_MAX, id.device) && unsigned_of(inode, UINT64_MAX, id.inode);
}

// words[at..at+5): size, access and modification times.
bool state_of(const std::vector<std::string>& words, size_t at, UndoFileState& state) {
    uint64_t size = 0, access_nsec = 0, modify_nsec = 0;
    if (!unsigned_of(words[at], uint64_t(INT64_MAX), size) || !int_of(words[at + 1], state.times.access_sec) ||
        !unsigned_of(words[at + 2], 999999999, access_nsec) || !int_of(words[at + 3], state.times.modify_sec) ||
        !unsigned_of(words[at + 4], 999999999, modify_nsec))
        return false;
    state.size = int64_t(size);
    state.times.access_nsec = int64_t(access_nsec);
    state.times.modify_nsec = int64_t(modify_nsec);
    return true;
}

std::string state_text(const UndoFileState& s) {
    char text[128];
    std::snprintf(text, sizeof text, "%" PRId64 " %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64, s.size,
                  s.times.access_sec, s.times.access_nsec, s.times.modify_sec, s.times.modify_nsec);
    return text;
}

bool same_id(const FileId& a, const FileId& b) { return a.device == b.device && a.inode == b.inode; }

bool same_modify_time(const FileTimes& a, const FileTimes& b) {
    return a.modify_sec == b.modify_sec && a.modify_nsec == b.modify_nsec;
}

bool fail(std::string& why, const std::string& text) {
    why = text;
    return false;
}

bool fail_at(std::string& why, size_t line, const char* text) {
    return fail(why, "line " + std::to_string(line) + " " + text);
}

std::string id_suffix(const FileId& id) {
    char text[64];
    std::snprintf(text, sizeof text, "-%" PRIu64 "-%" PRIu64 ".undo", id.device, id.inode);
    return text;
}

std::string folder_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Writes text as the whole file at path: a private file beside it, flushed
// to the disk, then renamed into place and the folder flushed, so that the
// file is always whole and its new name lasts.
bool write_whole(const std::string& path, const std::string& text) {
    // Beyond the file-size limit the write would fail, or the signal end the run.
    if (!write_allowed_up_to(text.size())) return false;
    const std::string folder = folder_of(path);
    std::string temp;
    NewFile* file = create_private_temp(folder, temp);
    if (!file) return false;
    bool ok = write_new(file, reinterpret_cast<const uint8_t*>(text.data()), text.size()) && sync_new(file);
    ok = close_new(file) && ok;
    if (ok) ok = rename_file(temp.c_str(), path.c_str());
    if (!ok) remove_file(temp.c_str());
    return ok && sync_folder(folder);
}

// The run's last packet line still waits for its outcome.
bool write_open(const std::string& text) {
    const size_t start = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
    return text.compare(start == std::string::npos ? 0 : start + 1, 7, "packet ") == 0;
}

// Saves the lines as the run's undo file, unless they could not be read back.
bool save_lines(RepairSession& session, const std::string& lines) {
    const std::string sealed = sealed_undo_text(lines);
    UndoJournal journal;
    std::string why;
    if (!parse_undo(sealed, journal, why) || !write_whole(session.undo_path, sealed)) return false;
    session.undo_text = lines;
    return true;
}

void add_error(UndoResult& result, const char* format, ...) __attribute__((format(printf, 2, 3)));
void add_error(UndoResult& result, const char* format, ...) {
    va_list args;
    va_start(args, format);
    result.errors.push_back(format_text(format, args));
    va_end(args);
}

// The latest undo file of the recording: named after its identity, holding
// its resolved name, with its text. refused, with an error, when the latest
// cannot be used.
enum class Found { none, ok, refused };

Found find_undo(const char* recording, const FileId& id, std::string& path, std::string& text, UndoJournal& journal,
                UndoResult& result, const DryUndo* dry) {
    const std::string folder = undo_folder();
    std::vector<std::string> names;
    if (folder.empty()) return Found::none;
    if (!list_dir(folder, names)) {
        // A folder that is there but may not be read (made by a run under
        // sudo) may well hold undo data: not to be taken for one without.
        if (!path_exists(folder.c_str())) return Found::none;
        add_error(result, "Undo data for '%s' is damaged: its folder can't be read", recording);
        return Found::refused;
    }
    const std::string suffix = id_suffix(id);
    const size_t stamp_digits = 20;
    std::vector<std::string> candidates;
    for (const std::string& name : names) {
        if (name.size() != stamp_digits + suffix.size() || name.compare(stamp_digits, suffix.size(), suffix) != 0)
            continue;
        if (std::all_of(name.begin(), name.begin() + stamp_digits, [](char c) { return c >= '0' && c <= '9'; }))
            candidates.push_back(name);
    }
    std::sort(candidates.rbegin(), candidates.rend());
    const std::string resolved = resolved_path(recording);
    for (const std::string& name : candidates) {
        // -dry: marked as used by an -undo before this one.
        if (dry && std::find(dry->used.begin(), dry->used.end(), folder + "/" + name) != dry->used.end()) continue;
        std::string why;
        switch (read_private_file(folder, name, max_undo_bytes, text, why)) {
            case PrivateRead::ok: break;
            case PrivateRead::unsafe:
                add_error(result, "Undo data for '%s' is not safe: %s", recording, why.c_str());
                return Found::refused;
            case PrivateRead::unreadable:
                add_error(result, "Undo data for '%s' is damaged: %s", recording, why.c_str());
                return Found::refused;
        }
        if (!parse_undo(text, journal, why)) {
            add_error(result, "Undo data for '%s' is damaged: %s", recording, why.c_str());
            return Found::refused;
        }
        // Another file that once had this identity (its inode reused), or
        // this file under another name: not this recording's.
        if (!same_id(journal.identity, id) || journal.resolved != resolved) continue;
        path = folder + "/" + name;
        return Found::ok;
    }
    return Found::none;
}

using Position = std::pair<unsigned, uint64_t>;  // part, offset

// Every byte the writes touched: what stood there before the run, and the
// last write that touched it.
struct Touched {
    uint8_t original = 0;
    size_t last = 0;
};

std::map<Position, Touched> touched_bytes(const UndoJournal& journal) {
    std::map<Position, Touched> bytes;
    for (size_t w = 0; w < journal.writes.size(); ++w) {
        const UndoJournal::Write& write = journal.writes[w];
        for (size_t i = 0; i < write.new_bytes.size(); ++i) {
            auto [at, fresh] = bytes.insert({{write.part, write.offset + i}, Touched{write.old_bytes[i], w}});
            if (!fresh) at->second.last = w;
        }
    }
    return bytes;
}

// Whether the part file's size and modification time are ones the journal
// can have left: the state after its last write; for a write the run was
// cut short at, the state before it, or after it with or without its times
// put back; once -undo has begun, also the state before the run and any
// time -undo's own writes set.
bool state_fits(const UndoJournal& journal, const UndoJournal::Part& part, const OpenStatus& now) {
    std::vector<UndoFileState> states;
    bool fresh_times = journal.undoing;
    const UndoJournal::Write* last = nullptr;
    UndoFileState before_last = part.before;
    for (const UndoJournal::Write& w : journal.writes) {
        if (w.part != part.part) continue;
        if (last) before_last = last->after;
        last = &w;
    }
    if (last->outcome == UndoJournal::Outcome::cut_short) {
        states.push_back(before_last);
        UndoFileState grown = before_last;
        grown.size = std::max<int64_t>(before_last.size, int64_t(last->offset + last->new_bytes.size()));
        states.push_back(grown);
        fresh_times = true;
    } else {
        states.push_back(last->after);
    }
    if (journal.undoing) states.push_back(part.before);
    const bool size_fits =
        std::any_of(states.begin(), states.end(), [&](const UndoFileState& s) { return s.size == now.size; });
    const bool time_fits = std::any_of(states.begin(), states.end(),
                                       [&](const UndoFileState& s) { return same_modify_time(s.times, now.times); }) ||
                           (fresh_times && now.times.modify_sec >= journal.made_sec - time_slack_sec);
    return size_fits && time_fits;
}

// Checks every part file of the journal against what it should hold now;
// notes each one's status for the writes. An error line when it does not fit.
const DryUndo::File* dry_file_of(const DryUndo* dry, const FileId& id) {
    if (dry)
        for (const DryUndo::File& file : dry->files)
            if (same_id(file.id, id)) return &file;
    return nullptr;
}

bool check_parts(const char* recording, const UndoJournal& journal, const std::map<Position, Touched>& bytes,
                 std::vector<OpenStatus>& statuses, UndoResult& result, const DryUndo* dry) {
    statuses.clear();
    for (const UndoJournal::Part& part : journal.parts) {
        const std::string name = part_file_name(recording, part.part);
        bool not_regular = false;  // a FIFO or device is not even waited for
        InputFile* file = open_part_input(name.c_str(), not_regular);
        OpenStatus now;
        if (!file || !input_status(file, now) || !same_id(now.id, part.id)) {
            close_input(file);
            add_error(result, "Can't undo '%s': '%s' is not the file the repair changed", recording, name.c_str());
            return false;
        }
        // -dry: as an -undo before this one would have left it.
        const DryUndo::File* undone = dry_file_of(dry, now.id);
        if (undone) {
            now.size = undone->state.size;
            now.times = undone->state.times;
        }
        bool fits = state_fits(journal, part, now);
        // The bytes as they are: each must be what its last write put there,
        // or what it found where that write may not have been made whole,
        // or, once -undo has begun, what stood there before the run.
        for (auto at = bytes.lower_bound({part.part, 0}); fits && at != bytes.end() && at->first.first == part.part;) {
            const uint64_t start = at->first.second;
            auto end = at;
            uint64_t count = 0;
            while (end != bytes.end() && end->first.first == part.part && end->first.second == start + count)
                ++end, ++count;
            std::vector<uint8_t> found(count);
            size_t got = read_input(file, start, found.data(), found.size());
            if (undone) {
                got = start >= uint64_t(now.size) ? 0 : size_t(std::min<uint64_t>(got, uint64_t(now.size) - start));
                for (size_t i = 0; i < got; ++i) {
                    auto back = undone->bytes.find(start + i);
                    if (back != undone->bytes.end()) found[i] = back->second;
                }
            }
            for (size_t i = 0; at != end; ++at, ++i) {
                if (i >= got) {  // beyond the end, which the size check vouched for; else unread
                    fits = fits && start + i >= uint64_t(now.size);
                    continue;
                }
                const UndoJournal::Write& w = journal.writes[at->second.last];
                const size_t k = size_t(at->first.second - w.offset);
                const bool in_part = w.outcome != UndoJournal::Outcome::done;
                if (found[i] != w.new_bytes[k] && !(in_part && found[i] == w.old_bytes[k]) &&
                    !(journal.undoing && found[i] == at->second.original))
                    fits = false;
            }
        }
        close_input(file);
        if (!fits) {
            add_error(result, "Can't undo '%s': it was changed after the repair", recording);
            return false;
        }
        statuses.push_back(now);
    }
    return true;
}

// Writes the bytes that stood there before the run back into every part
// file, cuts off what the run appended and puts the times back.
bool write_back(const char* recording, const UndoJournal& journal, const std::map<Position, Touched>& bytes,
                const std::vector<OpenStatus>& statuses, UndoResult& result) {
    for (size_t p = 0; p < journal.parts.size(); ++p) {
        const UndoJournal::Part& part = journal.parts[p];
        const std::string name = part_file_name(recording, part.part);
        UpdateFile* file = open_update(name.c_str());
        if (!file) {
            add_error(result, "Can't reopen '%s' for writing", name.c_str());
            return false;
        }
        // The file opened must be the one checked, as it was.
        OpenStatus now;
        if (!update_status(file, now) || !now.regular || !same_id(now.id, statuses[p].id) ||
            now.size != statuses[p].size || !same_modify_time(now.times, statuses[p].times)) {
            close_update(file);
            add_error(result, "Can't undo '%s': it was changed after the repair", recording);
            return false;
        }
        // Runs of adjacent bytes go back in one write each; bytes beyond the
        // file's old end are cut off instead.
        bool ok = true;
        const uint64_t old_end = uint64_t(part.before.size);
        for (auto at = bytes.lower_bound({part.part, 0}); ok && at != bytes.end() && at->first.first == part.part;) {
            const uint64_t start = at->first.second;
            std::vector<uint8_t> run;
            for (uint64_t next = start; at != bytes.end() && at->first.first == part.part && at->first.second == next;
                 ++at, ++next)
                if (next < old_end) run.push_back(at->second.original);
            if (!run.empty()) ok = write_update(file, start, run.data(), run.size());
        }
        if (ok && now.size > part.before.size) ok = truncate_update(file, old_end);
        const bool times_kept = ok && set_update_times(file, part.before.times);
        ok = ok && sync_update(file);
        ok = close_update(file) && ok;
        if (!ok) {
            add_error(result, "Can't write '%s'", name.c_str());
            return false;
        }
        if (!times_kept) add_error(result, "Can't keep the times of '%s'", name.c_str());
    }
    return true;
}

// -dry: the part files as write_back would leave them, and the undo file used.
void note_dry_undo(DryUndo& dry, const std::string& path, const UndoJournal& journal,
                   const std::map<Position, Touched>& bytes, const std::vector<OpenStatus>& statuses) {
    dry.used.push_back(path);
    for (size_t p = 0; p < journal.parts.size(); ++p) {
        const UndoJournal::Part& part = journal.parts[p];
        DryUndo::File* file = nullptr;
        for (DryUndo::File& f : dry.files)
            if (same_id(f.id, statuses[p].id)) file = &f;
        if (!file) {
            dry.files.push_back(DryUndo::File{statuses[p].id, {}, {}});
            file = &dry.files.back();
        }
        file->state = part.before;
        for (auto at = bytes.lower_bound({part.part, 0}); at != bytes.end() && at->first.first == part.part; ++at)
            if (at->first.second < uint64_t(part.before.size)) file->bytes[at->first.second] = at->second.original;
    }
}

}  // namespace

std::string undo_folder() {
    std::string dir = env_text("VARNEK_UNDO_DIR");
    if (!dir.empty()) return dir;
    return home_state_folder();
}

bool undo_folder_usable() {
    const std::string folder = undo_folder();
    std::string why;
    return !folder.empty() && (!path_exists(folder.c_str()) || folder_is_private(folder, why));
}

std::string sealed_undo_text(const std::string& lines) {
    const size_t count = size_t(std::count(lines.begin(), lines.end(), '\n'));
    char end[64];
    std::snprintf(end, sizeof end, "end %zu %08" PRIx32 "\n", count,
                  mpeg_crc32(reinterpret_cast<const uint8_t*>(lines.data()), lines.size()));
    return lines + end;
}

bool parse_undo(const std::string& text, UndoJournal& journal, std::string& why) {
    journal = UndoJournal{};
    const std::string version = std::string(version_line) + "\n";
    if (text.compare(0, version.size(), version) != 0)
        return fail(why,
                    text.compare(0, 12, "varnek-undo ") == 0 ? "it is of another version" : "it is not an undo file");
    if (text.back() != '\n') return fail(why, "it is cut short");
    // The end line, then everything before it, before any field is believed.
    const size_t last_break = text.rfind('\n', text.size() - 2);
    if (last_break == std::string::npos) return fail(why, "it has no end line");
    const size_t end_at = last_break + 1;
    const std::string lines = text.substr(0, end_at);
    const std::vector<std::string> end = words_of(text.substr(end_at, text.size() - 1 - end_at));
    uint64_t count = 0, checksum = 0;
    if (end.size() != 3 || end[0] != "end") return fail(why, "it has no end line");
    if (!unsigned_of(end[1], UINT64_MAX, count) || end[2].size() != 8 ||
        !std::all_of(end[2].begin(), end[2].end(), [](char c) { return hex_digit(c) >= 0; }))
        return fail(why, "its end line is not understood");
    for (char c : end[2]) checksum = checksum << 4 | uint64_t(hex_digit(c));
    if (count != uint64_t(std::count(lines.begin(), lines.end(), '\n')))
        return fail(why, "it has lost or gained lines");
    if (checksum != mpeg_crc32(reinterpret_cast<const uint8_t*>(lines.data()), lines.size()))
        return fail(why, "its checksum is wrong");

    std::vector<std::vector<std::string>> rows;
    for (size_t at = 0; at < lines.size();) {
        const size_t next = lines.find('\n', at);
        rows.push_back(words_of(lines.substr(at, next - at)));
        at = next + 1;
    }
    // The head: recording, resolved name, identity, made.
    uint64_t made_sec = 0, made_nsec = 0;
    if (rows.size() < 5 || rows[1].size() != 2 || rows[1][0] != "recording" || !text_of(rows[1][1], journal.recording))
        return fail_at(why, 2, "is not understood");
    if (rows[2].size() != 2 || rows[2][0] != "resolved" || !text_of(rows[2][1], journal.resolved))
        return fail_at(why, 3, "is not understood");
    if (rows[3].size() != 3 || rows[3][0] != "identity" || !id_of(rows[3][1], rows[3][2], journal.identity))
        return fail_at(why, 4, "is not understood");
    if (rows[4].size() != 3 || rows[4][0] != "made" || !unsigned_of(rows[4][1], uint64_t(INT64_MAX), made_sec) ||
        !unsigned_of(rows[4][2], 999999999, made_nsec))
        return fail_at(why, 5, "is not understood");
    journal.made_sec = int64_t(made_sec);
    journal.made_nsec = int64_t(made_nsec);

    std::map<unsigned, UndoFileState> now;  // each part file's size and times so far
    std::map<Position, size_t> last_write;  // the last write of each byte
    bool file_waits = false;                // a file line waits for its first packet
    for (size_t r = 5; r < rows.size(); ++r) {
        const std::vector<std::string>& w = rows[r];
        const size_t line = r + 1;
        const bool waiting =
            !journal.writes.empty() && journal.writes.back().outcome == UndoJournal::Outcome::cut_short;
        uint64_t part = 0;
        if (journal.undoing) return fail_at(why, line, "follows the undoing line");
        if ((w[0] == "file" || w[0] == "packet") && waiting) return fail_at(why, line - 1, "has no after line");
        if (w[0] == "file") {
            UndoJournal::Part p;
            if (w.size() != 9 || file_waits || !unsigned_of(w[1], UINT32_MAX, part) || !id_of(w[2], w[3], p.id) ||
                !state_of(w, 4, p.before))
                return fail_at(why, line, "is not understood");
            p.part = unsigned(part);
            if (now.count(p.part)) return fail_at(why, line, "notes a part file twice");
            now[p.part] = p.before;
            journal.parts.push_back(p);
            file_waits = true;
        } else if (w[0] == "packet") {
            UndoJournal::Write write;
            uint64_t offset = 0;
            if (w.size() != 5 || !unsigned_of(w[1], UINT32_MAX, part) ||
                !unsigned_of(w[2], uint64_t(INT64_MAX), offset) || !bytes_of(w[3], write.old_bytes) ||
                !bytes_of(w[4], write.new_bytes))
                return fail_at(why, line, "is not understood");
            write.part = unsigned(part);
            write.offset = offset;
            if (!now.count(write.part) || (file_waits && journal.parts.back().part != write.part))
                return fail_at(why, line, "writes into a part file with no file line");
            file_waits = false;
            const size_t count = write.new_bytes.size();
            if (write.old_bytes.size() != count || count > max_write_bytes)
                return fail_at(why, line, "has bytes of the wrong length");
            // A write starts inside the file or at its end, and ends where an
            // offset can still point.
            const UndoFileState& before = now[write.part];
            if (offset > uint64_t(before.size) || offset > uint64_t(INT64_MAX) - count)
                return fail_at(why, line, "writes outside the file");
            for (size_t i = 0; i < count; ++i) {
                const Position at{write.part, offset + i};
                // What a write found beyond the file's end reads as zero; what
                // an earlier write left, as that write's bytes.
                bool found_fits = offset + i < uint64_t(before.size) || write.old_bytes[i] == 0;
                auto earlier = last_write.find(at);
                if (earlier != last_write.end()) {
                    const UndoJournal::Write& e = journal.writes[earlier->second];
                    const size_t k = size_t(at.second - e.offset);
                    found_fits = found_fits &&
                                 (write.old_bytes[i] == e.new_bytes[k] ||
                                  (e.outcome == UndoJournal::Outcome::failed && write.old_bytes[i] == e.old_bytes[k]));
                }
                if (!found_fits) return fail_at(why, line, "does not fit the writes before it");
                last_write[at] = journal.writes.size();
            }
            if (journal.writes.size() == max_writes) return fail(why, "it holds too many writes");
            journal.writes.push_back(std::move(write));
        } else if (w[0] == "after" || w[0] == "failed") {
            UndoFileState after;
            if (w.size() != 7 || !unsigned_of(w[1], UINT32_MAX, part) || !state_of(w, 2, after))
                return fail_at(why, line, "is not understood");
            if (!waiting || journal.writes.back().part != part)
                return fail_at(why, line, "follows no write of its part file");
            UndoJournal::Write& write = journal.writes.back();
            const int64_t before = now[write.part].size;
            const int64_t grown = std::max<int64_t>(before, int64_t(write.offset + write.new_bytes.size()));
            // A whole write leaves the file exactly as long as it reaches; one
            // that failed, no shorter and no longer than that.
            if (w[0] == "after" ? after.size != grown : (after.size < before || after.size > grown))
                return fail_at(why, line, "has a size the write cannot have left");
            write.outcome = w[0] == "after" ? UndoJournal::Outcome::done : UndoJournal::Outcome::failed;
            write.after = after;
            now[write.part] = after;
        } else if (w[0] == "undoing" && w.size() == 1) {
            if (file_waits || journal.writes.empty()) return fail_at(why, line, "is not understood");
            journal.undoing = true;
        } else {
            return fail_at(why, line, "is not understood");
        }
    }
    if (file_waits) return fail_at(why, rows.size(), "is a file line with no write");
    if (journal.writes.empty()) return fail(why, "it holds no write");
    return true;
}

bool save_undo(RepairSession& session, const char* recording, unsigned part, uint64_t offset, const uint8_t* old_bytes,
               const uint8_t* new_bytes, size_t count, const FileTimes& times, int64_t size) {
    if (session.undo_path.empty()) {
        const std::string folder = undo_folder();
        std::string why;
        FileId id;
        int64_t first_size = 0;
        // Undo data that others could change or swap would be refused.
        if (folder.empty() || !make_private_dirs(folder) || !folder_is_private(folder, why) ||
            !file_status(recording, id, first_size))
            return false;
        const int64_t made = now_ns();
        char stamp[32], head[160];
        std::snprintf(stamp, sizeof stamp, "%020" PRId64, made);
        std::snprintf(head, sizeof head, "identity %" PRIu64 " %" PRIu64 "\nmade %" PRId64 " %" PRId64 "\n", id.device,
                      id.inode, made / 1000000000, made % 1000000000);
        session.undo_path = folder + "/" + stamp + id_suffix(id);
        session.undo_text = std::string(version_line) + "\nrecording " + hex_of(recording) + "\nresolved " +
                          hex_of(resolved_path(recording)) + "\n" + head;
    } else if (write_open(session.undo_text)) {
        return false;  // the outcome of the last write is unknown: nothing may follow it
    }
    std::string text = session.undo_text;
    const bool part_noted =
        std::find(session.undo_parts.begin(), session.undo_parts.end(), part) != session.undo_parts.end();
    if (!part_noted) {
        FileId id;
        int64_t ignored = 0;
        if (!file_status(part_file_name(recording, part).c_str(), id, ignored)) return false;
        char line[96];
        std::snprintf(line, sizeof line, "file %u %" PRIu64 " %" PRIu64 " ", part, id.device, id.inode);
        text += line + state_text(UndoFileState{size, times}) + "\n";
    }
    text += "packet " + std::to_string(part) + " " + std::to_string(offset) + " " + hex_of(old_bytes, count) + " " +
            hex_of(new_bytes, count) + "\n";
    if (!save_lines(session, text)) return false;
    if (!part_noted) session.undo_parts.push_back(part);
    return true;
}

void note_undo_after(RepairSession& session, const char* recording, unsigned part, bool written) {
    if (session.undo_path.empty() || !write_open(session.undo_text)) return;
    const std::string name = part_file_name(recording, part);
    FileId id;
    UndoFileState now;
    if (!file_status(name.c_str(), id, now.size) || !get_file_times(name.c_str(), now.times)) return;
    // Unsaved, the write stays open: -undo then takes the file as a run cut
    // short there would have left it, and the run writes nothing more.
    save_lines(session, session.undo_text + (written ? "after " : "failed ") + std::to_string(part) + " " +
                          state_text(now) + "\n");
}

UndoResult undo_recording(const char* recording, const RunOptions& options, DryUndo* dry) {
    UndoResult result;
    FileId id;
    int64_t size = 0;
    if (!file_status(recording, id, size)) {
        add_error(result, "Can't open '%s' for reading", recording);
        return result;
    }
    std::string path, text;
    UndoJournal journal;
    switch (find_undo(recording, id, path, text, journal, result, dry)) {
        case Found::ok: break;
        case Found::none: add_error(result, "No undo data for '%s'", recording); return result;
        case Found::refused: return result;
    }
    result.made = journal.made_sec;
    const std::map<Position, Touched> bytes = touched_bytes(journal);
    std::vector<OpenStatus> statuses;
    if (!check_parts(recording, journal, bytes, statuses, result, dry)) return result;
    std::set<Position> packets;
    for (const auto& [at, touched] : bytes) packets.insert({at.first, at.second / packet_size});
    result.packets = packets.size();
    if (options.dry) {
        if (dry) note_dry_undo(*dry, path, journal, bytes, statuses);
        result.done = true;
        return result;
    }
    // Noted before the first write: a rerun after a cut-short -undo finds
    // the recording partly written back, and goes on.
    if (!journal.undoing &&
        !write_whole(path, sealed_undo_text(text.substr(0, text.rfind('\n', text.size() - 2) + 1) + "undoing\n"))) {
        add_error(result, "Can't save undo data for '%s'", recording);
        return result;
    }
    if (!write_back(recording, journal, bytes, statuses, result)) return result;
    const std::string used = path.substr(0, path.size() - 5) + ".used";
    // Where another user has taken the used name (a shared sticky folder),
    // removing the undo file uses it up as well.
    if (!(rename_file(path.c_str(), used.c_str()) || remove_file(path.c_str())) || !sync_folder_of(path.c_str()))
        add_error(result, "Can't mark undo data '%s' as used", path.c_str());
    result.done = true;
    return result;
}

std::string undo_date(int64_t seconds) { return local_date_time(seconds, ' '); }

}  // namespace varnek
