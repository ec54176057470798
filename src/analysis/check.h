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

// The kinds in the order the verdict line and the JSON counts list them;
// from part_missing on they concern the whole recording and have no place.
enum class CheckKind {
    sync, continuity, transport_error, pcr_gap, part_join, partial_packet, crc,
    pat, pmt, stream_gap, pts_gap, scrambled, read_error,
    part_missing, no_header, no_pat, no_pmt, duration,
};
constexpr unsigned check_kinds = 18;
const char* check_kind_name(CheckKind kind);
inline bool check_kind_located(CheckKind kind) { return kind < CheckKind::part_missing; }

enum class CheckVerdict { intact, damaged, unreadable, not_ts };
// "intact", "damaged", "unreadable", "not_ts": the JSON verdict.
const char* check_verdict_name(CheckVerdict verdict);

struct CheckProblem {
    CheckKind kind;
    unsigned part = 0;
    uint64_t offset = 0;
    int pid = -1;          // -1: no PID
    int64_t time_ms = -1;  // stream clock: the last PCR before it; -1: none yet
    int64_t at_ms = -1;    // recording time, from the recording's first PCR; -1: no PCR at all
    std::string detail;
};

// Problems kept per kind; the counts go on beyond them.
constexpr unsigned check_problems_kept = 100;

// One PID of the recording: its packets and its problems of each kind.
struct CheckPid {
    unsigned pid = 0;
    const char* label = "";
    uint64_t packets = 0;
    std::array<uint64_t, check_kinds> counts{};
};

struct CheckResult {
    uint64_t packets = 0;  // whole packets read in sync
    std::array<uint64_t, check_kinds> counts{};
    std::vector<CheckProblem> problems;  // at most check_problems_kept per kind, in the order found
    std::vector<CheckPid> pids;          // the PID list's order, then the other PIDs by number
    int64_t measured_ms = -1;            // PCR span of the PCR PID over the recording; -1: nothing measured
    bool transport_stream = true;        // false: no packet sync found anywhere
    CheckVerdict verdict() const;
    bool intact() const { return verdict() == CheckVerdict::intact; }
};

// The verdicts of the recordings a run checked.
struct CheckTally {
    unsigned recordings = 0;
    std::array<unsigned, 4> of{};  // by CheckVerdict
};
void tally_verdict(CheckTally& tally, CheckVerdict verdict);

// The progress line at a terminal: "[number/total] name percent%".
struct CheckProgress {
    bool shown = false;
    unsigned number = 1;
    unsigned total = 1;
};

// Reads the recording whose first file is open (and closes it), then its
// part files; fills state as the scan does and result with the damage found.
void check_recording(const char* name, InputFile* first_file, const RunOptions& options, ScanState& state,
                     CheckResult& result, const CheckProgress& progress);

}  // namespace varnek
