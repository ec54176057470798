#include "repair/packet_copy.h"

#include <cctype>

#include "platform/platform.h"
#include "repair/repair_log.h"
#include "repair/times_keeper.h"
#include "util/output.h"

namespace varnek {

namespace {

bool same_file(const FileId& a, const FileId& b) { return a.device == b.device && a.inode == b.inode; }

// True when path names a recording of the command line or one of its part
// files: an existing file by its identity, any name (existing or not) by
// where it points, the recording's name or that name and a part number.
bool names_a_recording(const ScanState& state, const char* path, const std::vector<const char*>& recordings) {
    FileId id;
    int64_t size = 0;
    const bool exists = file_status(path, id, size);
    if (exists)
        for (const FileId& part : state.part_ids)
            if (same_file(part, id)) return true;
    const std::string target = resolved_path(path);
    for (const char* recording : recordings) {
        const std::string base = resolved_path(recording);
        if (target.compare(0, base.size(), base) == 0) {
            const std::string rest = target.substr(base.size());
            bool digits = true;
            for (char c : rest) digits = digits && std::isdigit(static_cast<unsigned char>(c));
            if (digits) return true;
        }
        for (unsigned part = 0; exists; ++part) {
            FileId other;
            int64_t ignored = 0;
            if (!file_status(part_file_name(recording, part).c_str(), other, ignored)) break;
            if (same_file(other, id)) return true;
        }
    }
    return false;
}

}  // namespace

void copy_header_out(ScanState& state, const RunOptions& options, const std::vector<const char*>& recordings) {
    if (!state.stored_header) return;
    const char* target = options.get_file;
    // Writing there would destroy a recording this run works on.
    if (names_a_recording(state, target, recordings)) {
        repair_fail(state, "get", "Refusing to overwrite recording '%s'", target);
        return;
    }
    if (options.dry) {
        repair_announce(state, options, "get", "Write first ts packet to: '%s'", target);
        return;
    }
    FileId id;
    int64_t size = 0;
    const bool direct = file_status(target, id, size) && !is_regular_file(target);
    // A file goes into place whole, by renaming a new one over it, so that a
    // failed write keeps the old one; a device or pipe is written directly.
    std::string temp;
    NewFile* file = direct ? create_new(target, false) : create_temp_beside(target, temp);
    if (!file) {
        repair_fail(state, "get", "Can't open '%s' for writing", target);
        return;
    }
    bool written = write_allowed_up_to(packet_size) && write_new(file, state.stored_header.data(), packet_size);
    if (written && !direct) written = sync_new(file);
    written = close_new(file) && written;
    if (written && !direct) written = rename_file(temp.c_str(), target);
    if (!written && !direct) remove_file(temp.c_str());
    if (written)
        repair_announce(state, options, "get", "Write first ts packet to: '%s'", target);
    else
        repair_fail(state, "get", "Can't write ts packet");
}

void copy_header_in(ScanState& state, const RunOptions& options, const char* name) {
    if (state.stored_header && !options.force) return;
    const char* source = options.put_file;
    // Read as the scan reads, leaving the access time alone where it may.
    InputFile* input = open_input(source);
    if (!input) {
        repair_fail(state, "put", "Can't open '%s' for reading", source);
        return;
    }
    TsPacket packet;
    bool read = read_input(input, 0, packet.data(), packet_size) == packet_size;
    close_input(input);
    if (!read) {
        repair_fail(state, "put", "Can't read first ts packet");
        return;
    }
    switch (write_in_place(state, options, name, 0, 0, packet.data(), packet_size, "put")) {
        case WriteOutcome::written:
            repair_announce(state, options, "put", "Overwrite first ts packet from: '%s'", source);
            break;
        case WriteOutcome::not_opened: repair_fail(state, "put", "Can't reopen '%s' for writing", name); break;
        case WriteOutcome::not_written: repair_fail(state, "put", "Can't write ts packet"); break;
        case WriteOutcome::not_saved: break;
    }
}

}  // namespace varnek
