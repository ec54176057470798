#include "report/report.h"

#include "analysis/capture.h"
#include "platform/platform.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

namespace {

// A span as hh:mm:ss.mmm; 0 is a span too, not a clock never seen.
const char* span_text(uint32_t span) { return span == 0 ? "00:00:00.000" : format_ms(span); }

void print_header_section(const ScanState& state, const RunOptions& options) {
    std::FILE* out = console().out;
    const uint8_t* r = state.stored_header.data();
    std::fputs("\nQBXH\n", out);
    std::fprintf(out, " Offset:    0x%llX (%lld)\n", static_cast<unsigned long long>(state.last_qbx_offset),
                 static_cast<long long>(state.last_qbx_offset / packet_size));
    if (options.hex) hex_dump(r);
    std::fprintf(out, " Program:   %u\n", unsigned(qbxh_program(r)));
    std::fprintf(out, " Duration:  %s\n", format_hms(qbxh_duration(r)));
    std::tm start{};
    local_time_of(recording_start_time(r), start);
    std::fprintf(out, " DateTime:  %s", ctime_text(start).c_str());
    std::fprintf(out, " PID => PMT %u / Video %u / Audio %u / PCR %u\n", unsigned(qbxh_pmt_pid(r)),
                 unsigned(qbxh_video_pid(r)), unsigned(qbxh_audio_pid(r)), unsigned(qbxh_pcr_pid(r)));
    std::fputs("\tPID Stream-Type\n", out);
    for (unsigned i = 0; i < qbxh_stream_entries; ++i) {
        uint8_t type = qbxh_entry_type(r, i);
        if (type == qbxh_empty_type) break;
        std::fprintf(out, "\t%4u %-12s (0x%X)\n", unsigned(qbxh_entry_pid(r, i)), stream_type_name(type),
                     unsigned(type));
    }
}

void print_pat_section(const ScanState& state, const RunOptions& options) {
    std::FILE* out = console().out;
    const uint8_t* p = state.stored_pat.data();
    unsigned h = payload_offset(p);
    unsigned length = section_length(p);
    int count = (int(length) - 9) / 4;
    std::fputs("\nPAT\n", out);
    if (options.hex) hex_dump(p);
    std::fprintf(out, " Offset:  0x%llX (%d)\n", static_cast<unsigned long long>(pat_offset(state)),
                 static_cast<int>(static_cast<int32_t>(pat_offset(state) / packet_size)));
    if (options.hex) {
        std::fprintf(out, " Count:   %u\n", static_cast<unsigned>(count));
        std::fprintf(out, " SecLen:  %u\n", length);
        std::fputs(" PMT-List\n", out);
        // Rows that do not lie wholly inside the packet are not listed.
        for (int i = 0; i < count && inside_packet(h + 9 + 4 * unsigned(i), 4); ++i) {
            unsigned at = h + 9 + 4 * unsigned(i);
            unsigned program = (unsigned(p[at]) << 8) | p[at + 1];
            unsigned pid = (unsigned(p[at + 2] & 0x1F) << 8) | p[at + 3];
            std::fprintf(out, "  %5u %4u\n", program, pid);
        }
    }
    std::fprintf(out, " CRC32:   %08X\n", unsigned(section_crc(p)));
}

void print_pmt_section(const ScanState& state, const RunOptions& options) {
    std::FILE* out = console().out;
    const uint8_t* m = state.stored_pmt.data();
    std::fputs("\nPMT\n", out);
    if (options.hex) hex_dump(m);
    std::fprintf(out, " Offset:  0x%llX (%lld)\n", static_cast<unsigned long long>(pmt_offset(state)),
                 static_cast<long long>(pmt_offset(state) / packet_size));
    std::fprintf(out, " Program: %u\n", unsigned(pmt_program_number(m)));
    std::fprintf(out, " PID => PMT %u / PCR %u\n", unsigned(packet_pid(m)), unsigned(pmt_pcr_pid(m)));
}

void print_pid_list(const ScanState& state, const Summary& summary) {
    std::FILE* out = console().out;
    std::fputs("\nPID-List\n", out);
    for (unsigned n = 0; n < pid_table_rows; ++n) {
        const PidSlot& slot = state.pid_table.rows[n];
        if (slot.key == no_pid_key) break;
        const RowSummary& row = summary.rows[n];
        std::fprintf(out, "%2i %4u %8u", int(n + 1), unsigned(slot.key & 0x1FFF), unsigned(slot.count));
        std::fprintf(out, " %-11s", row.label);
        if (slot.first_pts != 0) {
            std::fprintf(out, " PTS: %s", format_ms(slot.first_pts));
            std::fprintf(out, " %s", format_ms(slot.last_pts));
            std::fprintf(out, " %s", span_text(row.pts_span));
            if (row.pts_star) std::fputs("*", out);
        }
        if (slot.first_pcr != 0) {
            std::fprintf(out, "\n %*s", 27, "");
            std::fprintf(out, " PCR: %s", format_ms(slot.first_pcr));
            std::fprintf(out, " %s", format_ms(slot.last_pcr));
            std::fprintf(out, " %s", span_text(row.pcr_span));
            if (row.pcr_star) std::fputs("*", out);
        }
        std::fputs("\n", out);
    }
}

}  // namespace

void print_report(const ScanState& state, const Summary& summary, const RunOptions& options, int64_t start_clock) {
    std::FILE* out = console().out;
    std::fprintf(out, "Testtime:  %.3lf s\n", double(clock_ms() - start_clock) / 1000.0);
    if (state.stored_header) print_header_section(state, options);
    if (state.stored_pat) print_pat_section(state, options);
    if (state.stored_pmt) print_pmt_section(state, options);
    print_pid_list(state, summary);
    unsigned d = summary.duration;
    std::fprintf(out, " Duration:  %02d:%02d:%02d\n\n", int(d / 3600), int(d / 60 % 60), int(d % 60));
}

void print_list_line(const ScanState& state, const char* name) {
    std::FILE* out = console().out;
    if (!state.stored_header) {
        std::fprintf(out, " Duration:  %02d:%02d:%02d\n", 0, 0, 0);
        return;
    }
    const uint8_t* r = state.stored_header.data();
    print_start_stamp(r);
    std::fputs(" ", out);
    std::fprintf(out, "%s %-16s %s\n", format_hms(qbxh_duration(r)), shown_text(state.channel_name, out).c_str(),
                 shown(name, out).c_str());
}

}  // namespace varnek
