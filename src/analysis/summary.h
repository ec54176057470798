// What the report derives from a scan, worked out once for the report, the
// JSON object and the repairs: the stored PMT's streams, the first video and
// audio PID, the duration and the label and spans of every PID-list row.
#pragma once

#include <array>
#include <cstdint>

#include "analysis/scan_state.h"

namespace varnek {

enum class DurationFrom { none, pts, pcr };

struct RowSummary {
    const char* label = "";
    uint32_t pts_span = 0;   // ms, with the clock's wrap when last <= first
    uint32_t pcr_span = 0;
    bool pts_star = false;   // this span set the duration
    bool pcr_star = false;
};

struct Summary {
    StreamList stream_list{};  // streams of the stored PMT
    uint16_t duration = 0;     // seconds; 0 = none
    DurationFrom duration_from = DurationFrom::none;
    uint16_t video_pid = 0;    // first video and audio PID of the PID list
    uint16_t audio_pid = 0;
    std::array<RowSummary, pid_table_rows> rows{};  // one per used row of the PID table
};

Summary summarize(const ScanState& state);

// The label of a PID key as the PID list shows it: "Tavrix", "PAT", "PMT",
// "Null", the stream type of the stored PMT's streams, "not in PMT" or "no PMT".
const char* pid_label(const ScanState& state, const StreamList& streams, uint16_t key);

}  // namespace varnek
