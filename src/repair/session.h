// What the repairs of one recording share beyond the scan and its summary:
// the head packets as the repairs leave them, their messages for the JSON
// object, the run's undo journal of the recording and, with -dry, the
// run's would-be writes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/scan_state.h"

namespace varnek {

struct DryWrites;

// One message of a repair, as the text mode prints it (success, or an error
// line's text), for the JSON object.
struct RepairNote {
    const char* action;  // "fixqbx", "fixpat", "get", "put", "salvage"
    bool ok;
    std::string message;
};

// What -salvage: made of a recording, for the JSON object.
struct SalvageNote {
    std::string file;
    uint64_t packets = 0;                // in the new file
    uint64_t left_out_bytes = 0;         // outside whole packets in sync
    uint64_t left_out_join_packets = 0;  // repeated at part joins
    std::vector<std::string> added;      // "header record", "PAT", "PMT"
    std::string verdict;                 // of the new file; empty with -dry
};

struct RepairSession {
    // The scan's first QBXH record and first PAT, replaced by what a repair
    // writes in their place: a later repair reads them as the earlier left them.
    StoredPacket stored_header;
    StoredPacket stored_pat;
    // The repairs' messages, in the order printed.
    std::vector<RepairNote> repair_notes;
    std::optional<SalvageNote> salvage_note;
    // This run's undo file for the recording (empty path: none yet) and its
    // text so far, rewritten whole with every packet the repairs add.
    std::string undo_path;
    std::string undo_text;
    std::vector<unsigned> undo_parts;  // part files whose identity and times it holds
    // With -dry, the run's would-be writes, which the repairs read through;
    // null otherwise.
    DryWrites* dry_writes = nullptr;
};

// The session of a scanned recording, its head packets as the scan found them.
inline RepairSession begin_repairs(const ScanState& state, DryWrites* dry_writes) {
    RepairSession session;
    if (state.stored_header)
        store_packet(session.stored_header, state.stored_header.data(), state.stored_header.offset,
                     state.stored_header.part);
    if (state.stored_pat)
        store_packet(session.stored_pat, state.stored_pat.data(), state.stored_pat.offset, state.stored_pat.part);
    session.dry_writes = dry_writes;
    return session;
}

}  // namespace varnek
