// Reads a recording and its part files block by block, keeps the packets in
// sync and hands every synchronised packet to the packet analysis.
#pragma once

#include <cstdint>

#include "analysis/scan_state.h"
#include "platform/platform.h"
#include "util/run_options.h"

namespace varnek {

struct DryWrites;

constexpr unsigned block_packets = 1000;
constexpr uint64_t block_bytes = uint64_t(block_packets) * packet_size;
// The packets at a block's end that are read again with the next block; a
// read of no more than these ends the part file.
constexpr uint64_t block_overlap_packets = 3;

// Scans the recording whose first file is open as first_file (the scanner
// closes it), then its part files name1, name2, ... until one is missing.
// dry_writes: with -dry, the run's would-be writes, laid over what is
// read; null otherwise.
void scan_recording(const char* name, InputFile* first_file, const RunOptions& options, ScanState& state,
                    const DryWrites* dry_writes);

// The six analysis steps of one packet, in their fixed order.
void analyse_packet(ScanState& state, const uint8_t* packet, uint64_t offset,
                    const RunOptions& options);

}  // namespace varnek
