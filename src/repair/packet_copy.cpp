#include "repair/packet_copy.h"

#include "platform/platform.h"
#include "repair/repair_log.h"
#include "repair/times_keeper.h"
#include "util/output.h"

namespace varnek {

namespace {

bool is_part_of_recording(const ScanState& state, const char* path) {
    FileId id;
    if (!file_id_of_path(path, id)) return false;
    for (const FileId& part : state.part_ids)
        if (part.device == id.device && part.inode == id.inode) return true;
    return false;
}

}  // namespace

void copy_header_out(ScanState& state, const RunOptions& options) {
    if (!state.stored_header) return;
    const char* target = options.get_file;
    // Opening for writing truncates: never point that at the recording itself.
    if (is_part_of_recording(state, target)) {
        repair_fail(state, "get", "Refusing to overwrite recording '%s'", target);
        return;
    }
    std::FILE* file = std::fopen(target, "wb");
    if (!file) {
        repair_fail(state, "get", "Can't open '%s' for writing", target);
        return;
    }
    bool written = write_at(file, 0, state.stored_header.data(), packet_size);
    bool closed = std::fclose(file) == 0;
    if (written && closed)
        repair_say(state, "get", "Write first ts packet to: '%s'", target);
    else
        repair_fail(state, "get", "Can't write ts packet");
}

void copy_header_in(ScanState& state, const RunOptions& options, const char* name) {
    if (state.stored_header && !options.force) return;
    const char* source = options.put_file;
    std::FILE* input = std::fopen(source, "rb");
    if (!input) {
        repair_fail(state, "put", "Can't open '%s' for reading", source);
        return;
    }
    TsPacket packet;
    if (std::fread(packet.data(), 1, packet_size, input) != packet_size) {
        repair_fail(state, "put", "Can't read first ts packet");
        std::fclose(input);
        return;
    }
    std::FILE* recording = open_file(name, "r+b");
    if (!recording) {
        repair_fail(state, "put", "Can't reopen '%s' for writing", name);
        std::fclose(input);
        return;
    }
    if (write_at(recording, 0, packet.data(), packet_size))
        repair_say(state, "put", "Overwrite first ts packet from: '%s'", source);
    else
        repair_fail(state, "put", "Can't write ts packet");
    close_file(recording);
    std::fclose(input);
}

}  // namespace varnek
