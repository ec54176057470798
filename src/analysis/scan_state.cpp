#include "analysis/scan_state.h"

#include <algorithm>

#include "util/output.h"

namespace varnek {

void store_packet(StoredPacket& slot, const uint8_t* packet, uint64_t offset, unsigned part) {
    auto copy = std::make_unique<TsPacket>();
    std::copy(packet, packet + packet_size, copy->begin());
    slot.bytes = std::move(copy);
    slot.offset = offset;
    slot.part = part;
}

bool begin_part(ScanState& state, unsigned part, const std::string& part_name, InputFile* file, FileId& id) {
    state.current_part = part;
    const bool identified = file_id_of_input(file, id);
    if (identified) state.part_ids.push_back(id);
    state.parts.push_back(PartFile{part_name, input_size(file)});
    return identified;
}

std::string part_file_name(const std::string& recording, unsigned part) {
    if (part == 0) return recording;
    return recording + std::to_string(part);
}

InputFile* open_next_part(const std::string& part_name, bool& not_regular) {
    InputFile* file = open_part_input(part_name.c_str(), not_regular);
    if (not_regular) report_error("'%s' is not a regular file", part_name.c_str());
    return file;
}

}  // namespace varnek
