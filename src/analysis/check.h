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

// The kinds of damage -check finds. Adding one is its name here, its row in
// check_kind_table and its detector.
enum class CheckKind {
    sync, continuity, transport_error, pcr_gap, part_join, partial_packet, crc,
    pat, pmt, stream_gap, pts_gap, scrambled, read_error,
    part_missing, no_header, no_pat, no_pmt, duration,
    kinds_end  // not a kind: the count of the kinds before it
};

struct CheckKindRow {
    CheckKind kind;
    const char* name;       // in the verdict line, the PID table and the JSON counts
    bool whole_recording;   // concerns the whole recording: no place, no PID
};

// One row per kind, in the order the verdict line and the JSON counts list them.
inline constexpr CheckKindRow check_kind_table[] = {
    {CheckKind::sync, "sync", false},
    {CheckKind::continuity, "continuity", false},
    {CheckKind::transport_error, "transport_error", false},
    {CheckKind::pcr_gap, "pcr_gap", false},
    {CheckKind::part_join, "part_join", false},
    {CheckKind::partial_packet, "partial_packet", false},
    {CheckKind::crc, "crc", false},
    {CheckKind::pat, "pat", false},
    {CheckKind::pmt, "pmt", false},
    {CheckKind::stream_gap, "stream_gap", false},
    {CheckKind::pts_gap, "pts_gap", false},
    {CheckKind::scrambled, "scrambled", false},
    {CheckKind::read_error, "read_error", false},
    {CheckKind::part_missing, "part_missing", true},
    {CheckKind::no_header, "no_header", true},
    {CheckKind::no_pat, "no_pat", true},
    {CheckKind::no_pmt, "no_pmt", true},
    {CheckKind::duration, "duration", true},
};
constexpr unsigned check_kinds = unsigned(sizeof check_kind_table / sizeof check_kind_table[0]);

constexpr bool check_kind_rows_in_order() {
    for (unsigned k = 0; k < check_kinds; ++k)
        if (unsigned(check_kind_table[k].kind) != k) return false;
    return true;
}
static_assert(check_kinds == unsigned(CheckKind::kinds_end) && check_kind_rows_in_order(),
              "check_kind_table holds every CheckKind once, in the enum's order");

inline const char* check_kind_name(CheckKind kind) { return check_kind_table[unsigned(kind)].name; }
inline bool check_kind_located(CheckKind kind) { return !check_kind_table[unsigned(kind)].whole_recording; }

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
