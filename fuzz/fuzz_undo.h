// The recording that fuzz_undo writes before every input, shared with the
// seed writer: two part files of fixed bytes and times, which the seeds'
// undo files describe as the state a repair left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnek::fuzz {

constexpr size_t undo_part_packets[2] = {8, 4};  // rec.ts, rec.ts1
constexpr int64_t undo_access_sec = 1000000000;
constexpr int64_t undo_modify_sec = 1100000000;

// Byte offset of part file part: a sync byte at each packet's start.
inline uint8_t undo_byte(unsigned part, uint64_t offset) {
    return offset % 188 == 0 ? 0x47 : uint8_t(offset * 7 + part * 13);
}

}  // namespace varnek::fuzz
