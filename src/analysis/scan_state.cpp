#include "analysis/scan_state.h"

#include <algorithm>

namespace varnek {

void store_packet(StoredPacket& slot, const uint8_t* packet, uint64_t offset, unsigned part) {
    auto copy = std::make_unique<TsPacket>();
    std::copy(packet, packet + packet_size, copy->begin());
    slot.bytes = std::move(copy);
    slot.offset = offset;
    slot.part = part;
}

std::string part_file_name(const std::string& recording, unsigned part) {
    if (part == 0) return recording;
    return recording + std::to_string(part);
}

}  // namespace varnek
