#include "repair/fix_pat.h"

#include <algorithm>

#include "repair/repair_log.h"
#include "repair/write_in_place.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

TsPacket build_pat(const uint8_t* r) {
    TsPacket pat;
    pat.fill(0xFF);
    const uint8_t head[13] = {0x47, 0x40, 0x00, 0x10,  // PID 0, PUSI, payload only
                              0x00,                    // pointer field
                              0x00, 0xB0, 0x0D,        // table id 0, section length 13
                              0x04, 0x31,              // transport stream id
                              0xE9, 0x00, 0x00};       // version 20, current; section 0 of 0
    std::copy(head, head + 13, pat.begin());
    // The one program: its number and PMT PID from the record.
    pat[13] = static_cast<uint8_t>(qbxh_program(r) >> 8);
    pat[14] = static_cast<uint8_t>(qbxh_program(r) & 0xFF);
    pat[15] = static_cast<uint8_t>((qbxh_pmt_pid(r) >> 8) | 0xE0);
    pat[16] = static_cast<uint8_t>(qbxh_pmt_pid(r) & 0xFF);
    uint32_t crc = mpeg_crc32(pat.data() + 5, 12);
    pat[17] = static_cast<uint8_t>(crc >> 24);
    pat[18] = static_cast<uint8_t>(crc >> 16);
    pat[19] = static_cast<uint8_t>(crc >> 8);
    pat[20] = static_cast<uint8_t>(crc);
    return pat;
}

void fix_pat(const ScanState& state, const Summary& /*summary*/, RepairSession& session, const RunOptions& options,
             const char* name) {
    if (session.stored_pat && !options.force) {
        repair_say(session, "fixpat", "PAT already exists");
        return;
    }
    if (!session.stored_header) {
        repair_fail(session, "fixpat", "No QBX found");
        return;
    }
    if (!state.stored_pmt) {
        repair_fail(session, "fixpat", "No PMT found");
        return;
    }
    TsPacket pat = build_pat(session.stored_header.data());
    // The PAT goes right behind the receiver's packets at the head of the
    // first part file, never behind one met later in the stream.
    uint64_t behind = state.head_run != HeadRun::none ? state.head_run_end : 0;
    if (options.hex) hex_dump(pat.data());
    const WriteOutcome outcome =
        write_in_place(state, session, options, name, 0, behind + packet_size, pat.data(), packet_size, "fixpat");
    if (!write_told(session, outcome, "fixpat", name, "Can't write ts package")) return;
    repair_announce(session, options, "fixpat", "Overwrite %d. ts packet with PAT", int(behind / packet_size + 2));
    store_packet(session.stored_pat, pat.data(), behind + packet_size, 0);
}

}  // namespace varnek
