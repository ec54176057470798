#include "analysis/capture.h"

#include <cstring>

#include "analysis/scanner.h"
#include "platform/platform.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

namespace {

// The -prn: tag selects packets by its first four characters; a shorter tag
// takes part with its terminating NUL.
bool prn_tag_matches(const char* tag, const uint8_t* packet) {
    const uint8_t* packet_tag = qbx_tag(packet);
    for (unsigned i = 0; i < 4; ++i) {
        uint8_t c = static_cast<uint8_t>(tag[i]);
        if (c != packet_tag[i]) return false;
        if (c == 0) return true;
    }
    return true;
}

void follow_head_run(ScanState& state, uint64_t offset) {
    if (state.current_part != 0) return;
    if (state.head_run == HeadRun::none) {
        if (offset < block_bytes) {
            state.head_run = HeadRun::open;
            state.head_run_end = offset;
        }
    } else if (state.head_run == HeadRun::open) {
        if (offset == state.head_run_end + packet_size)
            state.head_run_end = offset;
        else
            state.head_run = HeadRun::closed;
    }
}

}  // namespace

std::string start_stamp(const uint8_t* record) {
    std::tm t{};
    local_time_of(recording_start_time(record), t);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min);
    return text;
}

void print_start_stamp(const uint8_t* record) { std::fputs(start_stamp(record).c_str(), console().out); }

void capture_qbx(ScanState& state, const uint8_t* packet, uint64_t offset, const RunOptions& options) {
    state.last_qbx_offset = offset;
    state.last_qbx_part = state.current_part;
    state.qbx_seen = true;
    follow_head_run(state, offset);

    if (tag_is(packet, "QBXH") && !state.stored_header) {
        store_packet(state.stored_header, packet, offset, state.current_part);
        progress_marker(options, ".QBXH.");
        if (options.prn_tag && std::strncmp(options.prn_tag, "DateTime", 8) == 0) {
            if (options.json)
                state.prn_texts.push_back(start_stamp(packet));
            else
                print_start_stamp(packet);
        }
        return;
    }
    static const char* const text_tags[3] = {"CHNM", "EVNT", "SHRT"};
    for (unsigned i = 0; i < 3; ++i) {
        if (state.first_text_seen[i] || std::memcmp(qbx_tag(packet), text_tags[i], 4) != 0) continue;
        state.first_texts[i] = qbx_text(packet);
        state.first_text_seen[i] = true;
    }
    if (options.prn_tag && prn_tag_matches(options.prn_tag, packet)) {
        const uint8_t* text = packet + qbx_text_offset;
        if (options.json)
            state.prn_texts.emplace_back(text, text + qbx_text_length(packet));
        else
            std::fputs(shown_text(std::string(text, text + qbx_text_length(packet)), console().out).c_str(),
                       console().out);
        return;
    }
    if (tag_is(packet, "CHNM")) {
        unsigned length = qbx_text_length(packet);
        if (length > 32) length = 32;
        const uint8_t* text = packet + qbx_text_offset;
        state.channel_name.assign(text, text + length);
        state.channel_seen = true;
    }
}

void capture_pat(ScanState& state, const uint8_t* packet, uint64_t offset, const RunOptions& options) {
    if (packet_pid(packet) != 0 || state.stored_pat) return;
    store_packet(state.stored_pat, packet, offset, state.current_part);
    progress_marker(options, ".PAT.");
}

void capture_pmt(ScanState& state, const uint8_t* packet, uint64_t offset, const RunOptions& options) {
    if (!is_pmt_section(packet)) return;
    if (!state.stored_pmt) {
        store_packet(state.stored_pmt, packet, offset, state.current_part);
        progress_marker(options, ".PMT.");
        return;
    }
    TsPacket& stored = *state.stored_pmt.bytes;
    if (packets_differ(stored.data(), packet)) {
        std::FILE* out = console().out;
        std::fprintf(out, "%u PMT Prog=%u PCR=%u\n", unsigned(packet_pid(packet)),
                     unsigned(pmt_program_number(stored.data())), unsigned(pmt_pcr_pid(stored.data())));
        StreamList old_streams;
        pmt_streams(stored.data(), old_streams);
        for (const StreamEntry& e : old_streams) {
            if (e.pid == 0) break;
            std::fprintf(out, " %4u %02X %s\n", unsigned(e.pid), unsigned(e.type), stream_type_name(e.type));
        }
    }
    // The latest PMT is kept; its block is reused, offset and part stay those of the first.
    std::memcpy(stored.data(), packet, packet_size);
}

}  // namespace varnek
