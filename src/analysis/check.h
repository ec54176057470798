// -check: one forward pass over every byte of a recording and its part
// files that finds and locates damage, beside the usual analysis.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/scan_state.h"
#include "platform/platform.h"
#include "util/run_options.h"

namespace varnek {

enum class CheckKind {
    sync, continuity, transport_error, pcr_gap, part_join, partial_packet, crc,
    no_header, no_pat, no_pmt, duration,
};
constexpr unsigned check_kinds = 11;
const char* check_kind_name(CheckKind kind);

struct CheckProblem {
    CheckKind kind;
    unsigned part = 0;
    uint64_t offset = 0;
    int pid = -1;          // -1: no PID
    int64_t time_ms = -1;  // the last PCR before it; -1: none yet
    std::string detail;
};

// Problems kept per kind; the counts go on beyond them.
constexpr unsigned check_problems_kept = 100;

struct CheckResult {
    uint64_t packets = 0;  // whole packets read in sync
    std::array<uint64_t, check_kinds> counts{};
    std::vector<CheckProblem> problems;  // at most check_problems_kept per kind, in the order found
    int64_t measured_ms = -1;            // PCR span of the PCR PID over the recording; -1: none
    bool intact() const;
};

// Reads the recording whose first file is open (and closes it), then its
// part files; fills state as the scan does and result with the damage found.
// show_progress: percent of the recording's bytes on the console's err.
void check_recording(const char* name, InputFile* first_file, const RunOptions& options, ScanState& state,
                     CheckResult& result, bool show_progress);

// The text lines: the problems (at most 20 per kind, then how many more)
// and the verdict line.
void print_check(const char* name, const ScanState& state, const CheckResult& result);

}  // namespace varnek
