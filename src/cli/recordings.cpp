#include "cli/recordings.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "analysis/scan_state.h"
#include "platform/platform.h"
#include "util/text.h"

namespace varnek {

namespace {

bool has_wildcard(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

// The paths that pattern matches, sorted; none when nothing matches. Each
// part of the path is matched against the names of the folder that the
// parts before it found; the separators stay as written.
std::vector<std::string> matches_of(const std::string& pattern, bool windows_names) {
    auto separator = [windows_names](char c) { return c == '/' || (windows_names && c == '\\'); };
    size_t at = 0;
    if (windows_names && pattern.size() >= 2 && pattern[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(pattern[0])))
        at = 2;
    while (at < pattern.size() && separator(pattern[at])) ++at;
    std::vector<std::string> paths{pattern.substr(0, at)};
    while (at < pattern.size() && !paths.empty()) {
        size_t end = at;
        while (end < pattern.size() && !separator(pattern[end])) ++end;
        size_t next = end;
        while (next < pattern.size() && separator(pattern[next])) ++next;
        const std::string part = pattern.substr(at, end - at), separators = pattern.substr(end, next - end);
        // A part with a separator behind it names a folder.
        const bool folder_only = !separators.empty();
        std::vector<std::string> grown;
        for (const std::string& path : paths) {
            if (!has_wildcard(part)) {
                grown.push_back(path + part + separators);
                continue;
            }
            const std::string folder = path.empty() ? "." : path.back() == ':' ? path + "." : path;
            std::vector<std::string> names;
            if (!list_dir(folder, names)) continue;
            for (const std::string& name : names) {
                if (!wildcard_match(part, name)) continue;
                const std::string found = path + name;
                if (folder_only && !is_directory(found.c_str())) continue;
                grown.push_back(found + separators);
            }
        }
        paths.swap(grown);
        at = next;
    }
    // Parts without wildcards behind the last one name what exists, or nothing.
    std::vector<std::string> found;
    for (const std::string& path : paths)
        if (path_exists(path.c_str())) found.push_back(path);
    std::sort(found.begin(), found.end());
    return found;
}

bool ends_with_any_case(const std::string& name, const char* end) {
    const size_t length = std::char_traits<char>::length(end);
    if (name.size() < length) return false;
    for (size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(name[name.size() - length + i])) != end[i]) return false;
    return true;
}

// The recordings below folder, each with its sort key: the path below the
// folder named, with '/' between its parts on every system.
void add_below(const std::string& folder, const std::string& key,
               std::vector<std::pair<std::string, std::string>>& found) {
    std::vector<FolderEntry> entries;
    if (!list_folder(folder, entries)) {
        found.emplace_back(key, folder);
        return;
    }
    for (const FolderEntry& entry : entries) {
        const std::string path = path_in_folder(folder, entry.name), sub = key + "/" + entry.name;
        if (entry.kind == FolderEntry::Kind::folder) {
            add_below(path, sub, found);
        } else if (is_recording_name(entry.name) &&
                   (entry.kind == FolderEntry::Kind::file ||
                    (entry.kind == FolderEntry::Kind::link && is_regular_file(path.c_str())))) {
            found.emplace_back(sub, path);
        }
    }
}

}  // namespace

std::vector<std::string> expand_wildcards(const std::vector<std::string>& arguments, bool windows_names) {
    std::vector<std::string> out;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        // Arguments that begin with '-' are options, whatever they hold.
        if (i == 0 || argument.empty() || argument[0] == '-' || !has_wildcard(argument)) {
            out.push_back(argument);
            continue;
        }
        std::vector<std::string> found = matches_of(argument, windows_names);
        if (found.empty())
            out.push_back(argument);
        else
            out.insert(out.end(), found.begin(), found.end());
    }
    return out;
}

bool is_recording_name(const std::string& name) {
    return ends_with_any_case(name, ".ts") || ends_with_any_case(name, ".trp") || ends_with_any_case(name, ".rec");
}

std::vector<std::string> expand_folders(const std::vector<const char*>& names) {
    std::vector<std::string> out;
    for (const char* name : names) {
        if (!is_directory(name)) {
            out.push_back(name);
            continue;
        }
        std::vector<std::pair<std::string, std::string>> found;
        add_below(name, "", found);
        std::sort(found.begin(), found.end());
        for (auto& entry : found) out.push_back(std::move(entry.second));
    }
    return out;
}

bool part_file_of(const char* name, std::string& whole) {
    const std::string text = name;
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[text.size() - 1 - digits]))) ++digits;
    for (size_t length = digits; length >= 1; --length) {
        const std::string base = text.substr(0, text.size() - length);
        const std::string number = text.substr(text.size() - length);
        if (base.empty() || number[0] == '0' || length > 9) continue;
        if (!is_regular_file(base.c_str())) continue;
        const unsigned k = unsigned(std::stoul(number));
        unsigned part = 1;
        while (part < k && is_regular_file(part_file_name(base, part).c_str())) ++part;
        if (part == k) {
            whole = base;
            return true;
        }
    }
    return false;
}

std::vector<std::string> recordings_read_with(const std::vector<std::string>& names) {
    std::vector<std::string> read_with(names.size());
    // Identities are looked up once, and only when a part file is named.
    std::vector<FileId> ids(names.size());
    std::vector<bool> id_known(names.size()), id_looked_up(names.size());
    auto same = [](const FileId& a, const FileId& b) { return a.device == b.device && a.inode == b.inode; };
    for (size_t i = 0; i < names.size(); ++i) {
        std::string whole;
        if (!is_regular_file(names[i].c_str()) || !part_file_of(names[i].c_str(), whole)) continue;
        for (size_t j = 0; j < names.size() && read_with[i].empty(); ++j)
            if (j != i && names[j] == whole) read_with[i] = names[j];
        if (!read_with[i].empty()) continue;
        // The same recording under another name (./rec.ts): its scan reads
        // this part file when that name with the part number is this file.
        FileId whole_id, part_id, found_id;
        int64_t size;
        if (!file_status(whole.c_str(), whole_id, size) || !file_status(names[i].c_str(), part_id, size)) continue;
        const std::string number = names[i].substr(whole.size());
        for (size_t j = 0; j < names.size() && read_with[i].empty(); ++j) {
            if (j == i) continue;
            if (!id_looked_up[j]) {
                id_known[j] = file_status(names[j].c_str(), ids[j], size);
                id_looked_up[j] = true;
            }
            if (id_known[j] && same(ids[j], whole_id) && file_status((names[j] + number).c_str(), found_id, size) &&
                same(found_id, part_id))
                read_with[i] = names[j];
        }
    }
    return read_with;
}

std::string progress_line(size_t number, size_t total, const std::string& name, unsigned columns) {
    const std::string front = "[" + std::to_string(number) + "/" + std::to_string(total) + "] ";
    // Characters, not bytes: a UTF-8 sequence takes one column.
    std::vector<size_t> starts;
    for (size_t i = 0; i < name.size(); ++i)
        if ((static_cast<unsigned char>(name[i]) & 0xC0) != 0x80) starts.push_back(i);
    // The cursor stays in the last column, so the line takes one less.
    if (columns == 0 || front.size() + starts.size() < columns) return front + name;
    const size_t room = columns > front.size() + 4 ? columns - front.size() - 4 : 0;
    if (room == 0) return front.substr(0, columns > 1 ? columns - 1 : 0);
    return front + "..." + name.substr(starts[starts.size() - room]);
}

}  // namespace varnek
