#include "repair/fix_header.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "repair/repair_log.h"
#include "repair/write_in_place.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

namespace {

bool pid_was_scanned(const ScanState& state, uint16_t pid) {
    for (const PidSlot& slot : state.pid_table.rows) {
        if (slot.key == no_pid_key) break;
        if (slot.key == pid) return true;
    }
    return false;
}

// Writes the stored PMT's PID into the record's PMT PID field, in the part
// file and at the place where the scan found the record.
void correct_pmt_pid(const ScanState& state, RepairSession& session, const RunOptions& options, const char* name) {
    uint16_t pid = packet_pid(state.stored_pmt.data());
    uint8_t field[2];
    qbxh_put_u16(field, 0, pid);
    const WriteOutcome outcome = write_in_place(state, session, options, name, session.stored_header.part,
                                                session.stored_header.offset + qbxh_pmt_pid_at, field, 2, "fixqbx");
    if (write_told(session, outcome, "fixqbx", part_file_name(name, session.stored_header.part), "Can't write QBX")) {
        // Told only once it is in the file.
        repair_announce(session, options, "fixqbx", "Correct PMT-PID %d in QBX", int(pid));
        qbxh_put_u16(session.stored_header.bytes->data(), qbxh_pmt_pid_at, pid);
    }
    repair_say(session, "fixqbx", "QBX already exists");
}

// True when the scan will find a record written at packet 0: packets 1 and
// 2 begin with the sync byte once the head of head_bytes is written, or the
// first file is shorter than three packets. A file that cannot be read is
// left to the write, which tells.
bool head_in_sync(const char* name, size_t head_bytes) {
    InputFile* file = open_input(name);
    if (!file) return true;
    uint8_t head[3 * packet_size];
    const size_t got = read_input(file, 0, head, sizeof head);
    close_input(file);
    if (got < sizeof head) return true;
    return (head_bytes > packet_size || head[packet_size] == sync_byte) &&
           (head_bytes > 2 * packet_size || head[2 * packet_size] == sync_byte);
}

void regenerate(const ScanState& state, const Summary& summary, RepairSession& session, const RunOptions& options,
                const char* name) {
    if (!state.stored_pmt) {
        repair_fail(session, "fixqbx", "No PMT found");
        return;
    }
    if (summary.duration == 0) {
        repair_fail(session, "fixqbx", "No duration determined");
        return;
    }
    TsPacket record = build_header(state, summary);
    if (options.hex) hex_dump(record.data());

    // The receiver's layout began with PAT and PMT: they move back behind
    // the record. Record, PAT and PMT go into the file in one write, so that
    // the PAT the record overwrites is never lost.
    bool move_pat = session.stored_pat && session.stored_pat.part == 0 && session.stored_pat.offset == 0;
    bool move_pmt = move_pat && state.stored_pmt.part == 0 && state.stored_pmt.offset == packet_size;
    std::vector<uint8_t> head(record.begin(), record.end());
    if (move_pat) head.insert(head.end(), session.stored_pat.data(), session.stored_pat.data() + packet_size);
    if (move_pmt) head.insert(head.end(), state.stored_pmt.data(), state.stored_pmt.data() + packet_size);
    // Behind a record whose next packets are out of sync the scan would
    // not find it, and a second run would write it again.
    if (!head_in_sync(name, head.size())) {
        repair_fail(session, "fixqbx", "The head of '%s' is out of sync: use -salvage:<file>", name);
        return;
    }
    const WriteOutcome outcome =
        write_in_place(state, session, options, name, 0, 0, head.data(), head.size(), "fixqbx");
    if (!write_told(session, outcome, "fixqbx", name, "Can't write QBX")) return;
    repair_announce(session, options, "fixqbx", "Overwrite 1. ts packet with QBX");
    if (move_pat) repair_announce(session, options, "fixqbx", "Overwrite 2. ts packet with PAT");
    if (move_pmt) repair_announce(session, options, "fixqbx", "Overwrite 3. ts packet with PMT");
    // The generated record stands for the stored one once it is in the file.
    store_packet(session.stored_header, record.data(), 0, 0);
}

}  // namespace

TsPacket build_header(const ScanState& state, const Summary& summary) {
    return build_header(state, summary, state.stored_pmt.data());
}

TsPacket build_header(const ScanState& state, const Summary& summary, const uint8_t* m) {
    TsPacket r{};
    const uint8_t head[8] = {0x47, 0x41, 0xFF, 0x00, 'Q', 'B', 'X', 'H'};
    std::copy(head, head + 8, r.begin());
    // Bytes the receiver writes the same in every record.
    r[8] = 0x68;
    r[9] = 0x01;
    r[20] = 0x06;
    r[21] = 0x10;
    r[47] = 0x02;
    r[48] = 0x03;
    r[54] = 0x02;
    qbxh_put_u16(r.data(), qbxh_program_at, pmt_program_number(m));
    qbxh_put_u16(r.data(), qbxh_duration_at, summary.duration);
    qbxh_put_u16(r.data(), qbxh_video_pid_at, summary.video_pid);
    qbxh_put_u16(r.data(), qbxh_audio_pid_at, summary.audio_pid);
    qbxh_put_u16(r.data(), qbxh_pcr_pid_at, pmt_pcr_pid(m));
    qbxh_put_u16(r.data(), qbxh_pmt_pid_at, packet_pid(m));

    // The stream table: the PMT's streams that the scan met, then the PMT
    // itself, then empty entries.
    unsigned at = qbxh_stream_table;
    for (const StreamEntry& e : summary.stream_list) {
        if (e.pid == 0) break;
        if (!pid_was_scanned(state, e.pid)) continue;
        r[at] = e.type;
        qbxh_put_u16(r.data(), at + 2, e.pid);
        at += 4;
    }
    r[at] = qbxh_pmt_type;
    qbxh_put_u16(r.data(), at + 2, packet_pid(m));
    at += 4;
    for (; at < qbxh_stream_table + 4 * qbxh_stream_entries; at += 4) {
        qbxh_put_u16(r.data(), at, 0xFF00 | qbxh_empty_type);
        qbxh_put_u16(r.data(), at + 2, 0x1FFF);
    }
    return r;
}

void fix_header(const ScanState& state, const Summary& summary, RepairSession& session, const RunOptions& options,
                const char* name) {
    if (session.stored_header) {
        uint16_t field = qbxh_pmt_pid(session.stored_header.data());
        if (field == 0 && state.stored_pmt && !options.force) {
            correct_pmt_pid(state, session, options, name);
            return;
        }
        if (!options.force) {
            repair_say(session, "fixqbx", "QBX already exists");
            return;
        }
    }
    regenerate(state, summary, session, options, name);
}

}  // namespace varnek
