#include "repair/packet_copy.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "analysis/dry_writes.h"
#include "platform/platform.h"
#include "repair/repair_log.h"
#include "repair/write_in_place.h"
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

namespace {

void announce_get(RepairSession& session, const RunOptions& options, const char* target) {
    repair_announce(session, options, "get", "Write first ts packet to: '%s'", target);
}

// -get:- : the packet alone on the standard output, where the run's text
// does not go then (see run.cpp).
void copy_to_standard_output(RepairSession& session, const RunOptions& options) {
    if (!options.dry) {
        std::FILE* out = console().packets ? console().packets : console().out;
        if (std::fwrite(session.stored_header.data(), 1, packet_size, out) != packet_size || std::fflush(out) != 0) {
            repair_fail(session, "get", "Can't write ts packet");
            return;
        }
    }
    announce_get(session, options, "-");
}

// -dry: what the write would meet, and the file as it would be afterwards.
void preview_copy_out(RepairSession& session, const RunOptions& options, const char* target) {
    switch (target_kind(target)) {
        case TargetKind::refused: repair_fail(session, "get", "Refusing to write through '%s'", target); return;
        case TargetKind::other: repair_fail(session, "get", "Can't open '%s' for writing", target); return;
        case TargetKind::missing:
        case TargetKind::regular:
        case TargetKind::direct: break;
    }
    if (session.dry_writes)
        note_dry_whole(*session.dry_writes, resolved_path(target), session.stored_header.data(), packet_size);
    announce_get(session, options, target);
}

}  // namespace

void copy_header_out(const ScanState& state, const Summary& /*summary*/, RepairSession& session, const RunOptions& options,
                     const std::vector<const char*>& recordings) {
    if (!session.stored_header) return;
    const char* target = options.get_file;
    if (std::strcmp(target, "-") == 0) {
        copy_to_standard_output(session, options);
        return;
    }
    // Writing there would destroy a recording this run works on.
    if (names_a_recording(state, target, recordings)) {
        repair_fail(session, "get", "Refusing to overwrite recording '%s'", target);
        return;
    }
    if (options.dry) {
        preview_copy_out(session, options, target);
        return;
    }
    // A file goes into place whole, by renaming a new one over it, so that a
    // failed write keeps the old one; a device or pipe is written directly;
    // a link is not followed.
    if (!write_allowed_up_to(packet_size)) {
        repair_fail(session, "get", "Can't write ts packet");
        return;
    }
    switch (write_target(target, session.stored_header.data(), packet_size)) {
        case TargetWrite::written: announce_get(session, options, target); break;
        case TargetWrite::refused: repair_fail(session, "get", "Refusing to write through '%s'", target); break;
        case TargetWrite::not_opened: repair_fail(session, "get", "Can't open '%s' for writing", target); break;
        case TargetWrite::not_written: repair_fail(session, "get", "Can't write ts packet"); break;
    }
}

void copy_header_in(const ScanState& state, const Summary& /*summary*/, RepairSession& session, const RunOptions& options,
                    const char* name) {
    if (session.stored_header && !options.force) return;
    const char* source = options.put_file;
    TsPacket packet;
    bool read = false;
    // With -dry, a file that an earlier -get: would have written holds that.
    if (const std::vector<uint8_t>* written = dry_whole_file(session.dry_writes, resolved_path(source))) {
        read = written->size() >= packet_size;
        if (read) std::copy(written->begin(), written->begin() + packet_size, packet.begin());
    } else {
        // Read as the scan reads, leaving the access time alone where it may.
        InputFile* input = open_input(source);
        if (!input) {
            repair_fail(session, "put", "Can't open '%s' for reading", source);
            return;
        }
        read = read_input(input, 0, packet.data(), packet_size) == packet_size;
        FileId id;
        if (read && session.dry_writes && file_id_of_input(input, id))
            if (const DryFile* dry = dry_updates_of(session.dry_writes, id))
                lay_over(*dry, 0, packet.data(), packet_size);
        close_input(input);
    }
    if (!read) {
        repair_fail(session, "put", "Can't read first ts packet");
        return;
    }
    const WriteOutcome outcome = write_in_place(state, session, options, name, 0, 0, packet.data(), packet_size, "put");
    if (write_told(session, outcome, "put", name, "Can't write ts packet"))
        repair_announce(session, options, "put", "Overwrite first ts packet from: '%s'", source);
}

}  // namespace varnek
