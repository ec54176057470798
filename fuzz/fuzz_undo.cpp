// Fuzz target: the undo-file reader. The input becomes the latest undo file
// of a small recording (rec.ts and rec.ts1, see fuzz_undo.h) in a folder of
// its own, and -undo reads it, checks it against the recording and writes
// back. Whenever -undo refuses, the recording must be as it was.
//
// Byte 0: bit 0 the text is a template, in which "@N" stands for the
// recording's name in hex, "@R" for its resolved name, "@D0" "@I0" and
// "@D1" "@I1" for the part files' device and inode; bit 1 adds the end line
// (line count and checksum), so that the text gets past that check; bit 2
// -dry. Byte 1 on: the undo file's text.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fuzz_common.h"
#include "fuzz_undo.h"
#include "platform/platform.h"
#include "repair/undo.h"

namespace {

std::string work_dir, undo_dir, part_paths[2];

void clear_undo_dir() {
    std::vector<std::string> names;
    varnek::list_dir(undo_dir, names);
    for (const std::string& name : names) unlink((undo_dir + "/" + name).c_str());
}

void remove_work_dir() {
    clear_undo_dir();
    rmdir(undo_dir.c_str());
    for (const std::string& path : part_paths) unlink(path.c_str());
    rmdir(work_dir.c_str());
}

std::vector<uint8_t> part_bytes(unsigned part) {
    std::vector<uint8_t> bytes(varnek::fuzz::undo_part_packets[part] * 188);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = varnek::fuzz::undo_byte(part, i);
    return bytes;
}

bool write_file(const std::string& path, const std::string& text, mode_t mode) {
    // Rewritten in place, so that a part file keeps its identity.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    return close(fd) == 0 && ok;
}

std::string read_file(const std::string& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return text;
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) text.append(block, n);
    std::fclose(f);
    return text;
}

std::string hex_of(const std::string& text) {
    std::string hex;
    for (unsigned char c : text) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", c);
        hex += pair;
    }
    return hex;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    varnek::fuzz::quiet_console();
    work_dir = varnek::fuzz::make_work_dir();
    undo_dir = work_dir + "/undo";
    part_paths[0] = work_dir + "/rec.ts";
    part_paths[1] = work_dir + "/rec.ts1";
    if (mkdir(undo_dir.c_str(), 0700) != 0) std::abort();
    setenv("VARNEK_UNDO_DIR", undo_dir.c_str(), 1);
    std::atexit(remove_work_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t select = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    const varnek::FileTimes times{varnek::fuzz::undo_access_sec, 0, varnek::fuzz::undo_modify_sec, 0};
    varnek::FileId ids[2];
    std::string before[2];
    for (unsigned part = 0; part < 2; ++part) {
        std::vector<uint8_t> bytes = part_bytes(part);
        before[part].assign(bytes.begin(), bytes.end());
        int64_t ignored = 0;
        if (!write_file(part_paths[part], before[part], 0600) ||
            !varnek::set_file_times(part_paths[part].c_str(), times) ||
            !varnek::file_status(part_paths[part].c_str(), ids[part], ignored))
            std::abort();
    }
    if (select & 0x01) {
        replace_all(text, "@N", hex_of(part_paths[0]));
        replace_all(text, "@R", hex_of(varnek::resolved_path(part_paths[0].c_str())));
        for (unsigned part = 0; part < 2; ++part) {
            replace_all(text, "@D" + std::to_string(part), std::to_string(ids[part].device));
            replace_all(text, "@I" + std::to_string(part), std::to_string(ids[part].inode));
        }
    }
    if (select & 0x02) text = varnek::sealed_undo_text(text);
    char name[96];
    std::snprintf(name, sizeof name, "/00000000000000000001-%" PRIu64 "-%" PRIu64 ".undo", ids[0].device, ids[0].inode);
    clear_undo_dir();
    if (!write_file(undo_dir + name, text, 0600)) std::abort();

    varnek::RunOptions options;
    options.undo = true;
    options.dry = (select & 0x04) != 0;
    const varnek::UndoResult result = varnek::undo_recording(part_paths[0].c_str(), options);
    if (!result.done || options.dry) {
        // Refused, or only previewed: not a byte nor a time may have changed.
        for (unsigned part = 0; part < 2; ++part) {
            varnek::FileTimes now;  // before the bytes: reading them may move the access time
            if (!varnek::get_file_times(part_paths[part].c_str(), now) || now.modify_sec != times.modify_sec ||
                now.modify_nsec != 0 || now.access_sec != times.access_sec || now.access_nsec != 0 ||
                read_file(part_paths[part]) != before[part])
                std::abort();
        }
    }
    return 0;
}
