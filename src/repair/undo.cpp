#include "repair/undo.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <sstream>

#include "util/output.h"

namespace varnek {

namespace {

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

bool bytes_of(const std::string& hex, std::vector<uint8_t>& out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(hex.c_str() + i, "%2x", &value) != 1) return false;
        out.push_back(uint8_t(value));
    }
    return true;
}

std::string identity_suffix(const FileId& id) {
    char text[64];
    std::snprintf(text, sizeof text, "-%" PRIu64 "-%" PRIu64 ".undo", id.device, id.inode);
    return text;
}

// Writes text as the whole file at path: a temporary file beside it, flushed
// to the disk, then renamed into place, so the file is always whole.
bool write_whole(const std::string& path, const std::string& text) {
    // Beyond the file-size limit the write would fail, or the signal end the run.
    if (!write_allowed_up_to(text.size())) return false;
    std::string temp;
    NewFile* file = create_temp_beside(path.c_str(), temp);
    if (!file) return false;
    bool ok = write_new(file, reinterpret_cast<const uint8_t*>(text.data()), text.size()) && sync_new(file);
    ok = close_new(file) && ok;
    if (ok) ok = rename_file(temp.c_str(), path.c_str());
    if (!ok) remove_file(temp.c_str());
    return ok;
}

struct UndoFile {
    int64_t made = 0;  // seconds since the epoch
    struct Part {
        FileId id;
        int64_t size = 0;
        FileTimes times;
    };
    std::map<unsigned, Part> parts;
    struct Write {
        unsigned part;
        uint64_t offset;
        std::vector<uint8_t> old_bytes, new_bytes;
    };
    std::vector<Write> writes;
};

bool read_undo(const std::string& path, UndoFile& undo) {
    InputFile* file = open_input(path.c_str());
    if (!file) return false;
    std::string text;
    uint8_t block[65536];
    for (uint64_t at = 0;;) {
        size_t got = read_input(file, at, block, sizeof block);
        text.append(reinterpret_cast<const char*>(block), got);
        at += got;
        if (got < sizeof block) break;
    }
    close_input(file);
    std::istringstream lines(text);
    std::string line, word;
    if (!std::getline(lines, line) || line != "varnek-undo 1") return false;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        fields >> word;
        if (word == "made") {
            fields >> undo.made;
        } else if (word == "file") {
            unsigned part;
            UndoFile::Part p;
            fields >> part >> p.id.device >> p.id.inode >> p.size >> p.times.access_sec >> p.times.access_nsec >>
                p.times.modify_sec >> p.times.modify_nsec;
            if (!fields) return false;
            undo.parts[part] = p;
        } else if (word == "packet") {
            UndoFile::Write w;
            std::string old_hex, new_hex;
            fields >> w.part >> w.offset >> old_hex >> new_hex;
            if (!fields || !bytes_of(old_hex, w.old_bytes) || !bytes_of(new_hex, w.new_bytes) ||
                w.old_bytes.size() != w.new_bytes.size() || !undo.parts.count(w.part))
                return false;
            undo.writes.push_back(std::move(w));
        }
    }
    return true;
}

std::string local_date(int64_t seconds) {
    std::tm t{};
    local_time_of(seconds, t);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

}  // namespace

std::string undo_folder() {
    std::string dir = env_text("VARNEK_UNDO_DIR");
    if (!dir.empty()) return dir;
    return home_state_folder();
}

bool save_undo(ScanState& state, const char* recording, unsigned part, uint64_t offset, const uint8_t* old_bytes,
               const uint8_t* new_bytes, size_t count, const FileTimes& times, int64_t size) {
    if (state.undo_path.empty()) {
        std::string folder = undo_folder();
        FileId id;
        int64_t first_size = 0;
        if (folder.empty() || !make_private_dirs(folder) || !file_status(recording, id, first_size)) return false;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%020" PRId64, now_ns());
        state.undo_path = folder + "/" + stamp + identity_suffix(id);
        state.undo_text = "varnek-undo 1\nrecording " +
                          hex_of(reinterpret_cast<const uint8_t*>(recording), std::strlen(recording)) + "\nmade " +
                          std::to_string(now_ns() / 1000000000) + "\n";
    }
    std::string text = state.undo_text;
    const bool part_noted =
        std::find(state.undo_parts.begin(), state.undo_parts.end(), part) != state.undo_parts.end();
    if (!part_noted) {
        FileId id;
        int64_t ignored = 0;
        if (!file_status(part_file_name(recording, part).c_str(), id, ignored)) return false;
        char line[256];
        std::snprintf(line, sizeof line, "file %u %" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64
                      " %" PRId64 "\n", part, id.device, id.inode, size, times.access_sec, times.access_nsec,
                      times.modify_sec, times.modify_nsec);
        text += line;
    }
    text += "packet " + std::to_string(part) + " " + std::to_string(offset) + " " + hex_of(old_bytes, count) + " " +
            hex_of(new_bytes, count) + "\n";
    if (!write_whole(state.undo_path, text)) return false;
    state.undo_text = text;
    if (!part_noted) state.undo_parts.push_back(part);
    return true;
}

void undo_recording(const char* recording, const RunOptions& options) {
    FileId id;
    int64_t size = 0;
    if (!file_status(recording, id, size)) {
        report_error("Can't open '%s' for reading", recording);
        return;
    }
    std::string folder = undo_folder();
    std::vector<std::string> names;
    list_dir(folder, names);
    const std::string suffix = identity_suffix(id);
    std::string latest;
    for (const std::string& name : names)
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            name > latest)
            latest = name;
    if (latest.empty()) {
        report_error("No undo data for '%s'", recording);
        return;
    }
    const std::string path = folder + "/" + latest;
    UndoFile undo;
    if (!read_undo(path, undo)) {
        report_error("Can't read undo data '%s'", path.c_str());
        return;
    }

    // The files must be the ones the repair changed.
    for (const auto& [part, noted] : undo.parts) {
        FileId now;
        int64_t now_size = 0;
        std::string name = part_file_name(recording, part);
        if (!file_status(name.c_str(), now, now_size) || now.device != noted.id.device || now.inode != noted.id.inode) {
            report_error("Can't undo '%s': '%s' is not the file the repair changed", recording, name.c_str());
            return;
        }
    }
    // The bytes as they are now, then taken back write by write, the last
    // first: each must hold what its write put there, or what it found
    // where the run was cut short before it; anything else was changed since.
    std::map<std::pair<unsigned, uint64_t>, uint8_t> image;
    std::set<std::pair<unsigned, uint64_t>> packets;
    for (const auto& [part, noted] : undo.parts) {
        InputFile* file = open_input(part_file_name(recording, part).c_str());
        for (const UndoFile::Write& w : undo.writes) {
            if (w.part != part) continue;
            std::vector<uint8_t> now(w.new_bytes.size(), 0);
            size_t got = file ? read_input(file, w.offset, now.data(), now.size()) : 0;
            for (size_t i = 0; i < now.size(); ++i) image[{part, w.offset + i}] = i < got ? now[i] : uint8_t(~w.new_bytes[i]);
            for (uint64_t p = w.offset / packet_size; p <= (w.offset + now.size() - 1) / packet_size; ++p)
                packets.insert({part, p});
        }
        close_input(file);
    }
    for (auto w = undo.writes.rbegin(); w != undo.writes.rend(); ++w) {
        for (size_t i = 0; i < w->new_bytes.size(); ++i) {
            uint8_t& byte = image[{w->part, w->offset + i}];
            if (byte != w->new_bytes[i] && byte != w->old_bytes[i]) {
                report_error("Can't undo '%s': it was changed after the repair", recording);
                return;
            }
            byte = w->old_bytes[i];
        }
    }
    // The image now holds what stood there before the run.
    const std::string date = local_date(undo.made);
    if (options.dry) {
        std::fprintf(console().out, "Would: Undone: %zu packets of '%s' from %s\n", packets.size(),
                     shown(recording, console().out).c_str(), date.c_str());
        return;
    }
    for (const auto& [part, noted] : undo.parts) {
        std::string name = part_file_name(recording, part);
        UpdateFile* file = open_update(name.c_str());
        if (!file) {
            report_error("Can't reopen '%s' for writing", name.c_str());
            return;
        }
        // Runs of adjacent bytes go back in one write each.
        bool ok = true;
        for (auto at = image.lower_bound({part, 0}); ok && at != image.end() && at->first.first == part;) {
            uint64_t start = at->first.second;
            std::vector<uint8_t> run;
            while (at != image.end() && at->first.first == part && at->first.second == start + run.size())
                run.push_back((at++)->second);
            ok = write_update(file, start, run.data(), run.size());
        }
        ok = close_update(file) && ok;
        FileId now;
        int64_t now_size = 0;
        if (ok && file_status(name.c_str(), now, now_size) && now_size > noted.size)
            ok = truncate_file(name.c_str(), uint64_t(noted.size));
        if (!ok) {
            report_error("Can't write '%s'", name.c_str());
            return;
        }
        if (!set_file_times(name.c_str(), noted.times)) report_error("Can't keep the times of '%s'", name.c_str());
    }
    rename_file(path.c_str(), (path.substr(0, path.size() - 5) + ".used").c_str());
    std::fprintf(console().out, "Undone: %zu packets of '%s' from %s\n", packets.size(),
                 shown(recording, console().out).c_str(), date.c_str());
}

}  // namespace varnek
