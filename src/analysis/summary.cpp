#include "analysis/summary.h"

#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

namespace {

constexpr uint32_t pts_wrap_ms = 95443717;  // 2^33 / 90: the 33-bit clock's wrap in ms

// One value measures nothing: equal first and last values span 0.
uint32_t clock_span(uint32_t first, uint32_t last) {
    uint32_t span = last - first;
    if (last < first) span += pts_wrap_ms;
    return span;
}

// The label of a PID-list row; notes the first video and audio PIDs on the way.
const char* row_label(const ScanState& state, Summary& summary, uint16_t key) {
    if (state.stored_pmt && key != info_pid_key && key != 0 && key != packet_pid(state.stored_pmt.data()) &&
        key != null_pid) {
        for (const StreamEntry& e : summary.stream_list) {
            if (e.pid != key) continue;
            if (summary.video_pid == 0 && (e.type == 0x02 || e.type == 0x1B)) summary.video_pid = key;
            if (summary.audio_pid == 0 && (e.type == 0x03 || e.type == 0x04)) summary.audio_pid = key;
            break;
        }
    }
    return pid_label(state, summary.stream_list, key);
}

// On the PCR PID, a span sets the duration when none is set yet or when it
// is shorter than the one set by more than a second. A span of 0 (one
// value, or equal ones) measures nothing and sets none.
bool apply_duration_rule(const ScanState& state, Summary& summary, uint16_t key, uint32_t span) {
    if (span == 0 || !state.stored_pmt || key != pmt_pcr_pid(state.stored_pmt.data())) return false;
    uint32_t seconds = span / 1000;
    if (summary.duration == 0 || seconds < uint32_t(summary.duration) - 1) {
        summary.duration = static_cast<uint16_t>(seconds % 65536);
        return true;
    }
    return false;
}

}  // namespace

const char* pid_label(const ScanState& state, const StreamList& streams, uint16_t key) {
    if (key == info_pid_key) return "Tavrix";
    if (key == 0) return "PAT";
    if (state.stored_pmt && key == packet_pid(state.stored_pmt.data())) return "PMT";
    if (key == null_pid) return "Null";
    if (!state.stored_pmt) return "no PMT";
    for (const StreamEntry& e : streams)
        if (e.pid == key) return stream_type_name(e.type);
    return "not in PMT";
}

Summary summarize(const ScanState& state) {
    Summary summary;
    if (state.stored_pmt) pmt_streams(state.stored_pmt.data(), summary.stream_list);
    // Row by row in table order, as the report prints them: "first" video
    // and audio PID and the duration rule depend on that order.
    for (unsigned n = 0; n < pid_table_rows; ++n) {
        const PidSlot& slot = state.pid_table.rows[n];
        if (slot.key == no_pid_key) break;
        RowSummary& row = summary.rows[n];
        row.label = row_label(state, summary, slot.key);
        if (slot.first_pts != 0) {
            row.pts_span = clock_span(slot.first_pts, slot.last_pts);
            row.pts_star = apply_duration_rule(state, summary, slot.key, row.pts_span);
            if (row.pts_star) summary.duration_from = DurationFrom::pts;
        }
        if (slot.first_pcr != 0) {
            row.pcr_span = clock_span(slot.first_pcr, slot.last_pcr);
            row.pcr_star = apply_duration_rule(state, summary, slot.key, row.pcr_span);
            if (row.pcr_star) summary.duration_from = DurationFrom::pcr;
        }
    }
    return summary;
}

}  // namespace varnek
