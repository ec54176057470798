// Fuzz target: the input is a run of 188-byte packets (the last one padded)
// that goes through the per-packet analysis and the report, as the scanner
// and the run loop would drive them. The first input byte picks the options.
//
// Byte 0: bit 0 progress, bit 1 -all, bit 2 -hex, bits 3..5 the -prn: tag
// (0 none, 1 CHNM, 2 EVNT, 3 DateTime, 4 EV, else none), bit 6 the packets
// belong to a later part file. The field readers see every packet as it
// came; the analysis sees it with the sync byte the scanner would have
// found at byte 0.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "analysis/capture.h"
#include "analysis/pid_stats.h"
#include "report/report.h"
#include "analysis/scan_state.h"
#include "analysis/scanner.h"
#include "fuzz_common.h"
#include "repair/fix_header.h"
#include "repair/fix_pat.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"
#include "util/run_options.h"

using namespace varnek;

namespace {

// Keeps the optimiser from dropping the readers' results.
volatile uint64_t sink_value;

void read_fields(const uint8_t* p, const uint8_t* previous) {
    uint64_t v = 0;
    v += packet_pid(p);
    v += has_pusi(p) + has_payload_bit(p) + has_adaptation(p) + has_pcr(p);
    v += pcr_ms(p);
    v += payload_offset(p);
    v += pes_start_offset(p);
    uint32_t pts = pts_ms(p);
    v += pts;
    v += std::strlen(format_ms(pts));
    v += std::strlen(format_hms(pts / 1000));
    v += section_length(p);
    v += pmt_program_number(p);
    v += pmt_pcr_pid(p);
    v += is_pmt_section(p);
    StreamList list;
    pmt_streams(p, list);
    for (const StreamEntry& e : list) v += e.pid + std::strlen(stream_type_name(e.type));
    v += section_crc(p);
    if (previous) v += packets_differ(previous, p);
    v += packet_key(p);

    v += is_qbx_packet(p) + tag_is(p, "QBXH") + tag_is(p, "CHNM");
    v += qbx_text_length(p);
    v += qbx_text(p).size();
    v += qbxh_program(p) + qbxh_duration(p) + qbxh_start_minute(p) + qbxh_start_hour(p);
    v += qbxh_start_mjd(p) + qbxh_video_pid(p) + qbxh_audio_pid(p) + qbxh_pcr_pid(p);
    v += qbxh_pmt_pid(p);
    for (unsigned i = 0; i < qbxh_stream_entries; ++i) v += qbxh_entry_type(p, i) + qbxh_entry_pid(p, i);
    v += uint64_t(recording_start_time(p));
    sink_value = v;
}

const char* const prn_tags[] = {nullptr, "CHNM", "EVNT", "DateTime", "EV"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t select = data[0];
    ++data;
    --size;

    RunOptions options;
    options.progress = (select & 0x01) != 0;
    options.all_packets = (select & 0x02) != 0;
    options.hex = (select & 0x04) != 0;
    unsigned tag = (select >> 3) & 0x07;
    options.prn_tag = tag < sizeof prn_tags / sizeof prn_tags[0] ? prn_tags[tag] : nullptr;

    ScanState state;
    state.current_part = (select & 0x40) ? 1 : 0;

    const size_t count = (size + packet_size - 1) / packet_size;
    state.block_end_position = uint64_t(count) * packet_size;
    // Every packet in a block of its own size, so that a read past byte 187
    // is caught.
    std::vector<std::unique_ptr<uint8_t[]>> packets;
    packets.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::unique_ptr<uint8_t[]> p(new uint8_t[packet_size]);
        size_t n = size - i * packet_size;
        if (n > packet_size) n = packet_size;
        std::memcpy(p.get(), data + i * packet_size, n);
        std::memset(p.get() + n, 0xFF, packet_size - n);
        read_fields(p.get(), i > 0 ? packets[i - 1].get() : nullptr);
        p[0] = sync_byte;  // the scanner analyses synchronised packets only
        analyse_packet(state, p.get(), uint64_t(i) * packet_size, options);
        packets.push_back(std::move(p));
    }

    Summary summary = summarize(state);
    print_report(state, summary, options, clock_ms());
    print_list_line(state, "rec.ts");
    if (state.stored_pmt) {
        TsPacket record = build_header(state, summary);
        read_fields(record.data(), nullptr);
    }
    if (state.stored_header) {
        TsPacket pat = build_pat(state.stored_header.data());
        read_fields(pat.data(), nullptr);
        print_start_stamp(state.stored_header.data());
    }
    return 0;
}
