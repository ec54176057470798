#include "repair/write_in_place.h"

#include <vector>

#include "analysis/dry_writes.h"
#include "repair/repair_log.h"
#include "repair/undo.h"

namespace varnek {

TimesKeeper note_times(const std::string& path) {
    TimesKeeper keeper;
    keeper.path = path;
    FileTimes times;
    if (get_file_times(path.c_str(), times)) keeper.times = times;
    return keeper;
}

bool restore_times(const TimesKeeper& keeper) {
    return !keeper.times || set_file_times(keeper.path.c_str(), *keeper.times);
}

bool write_told(RepairSession& session, WriteOutcome outcome, const char* action, const std::string& file,
                const char* not_written) {
    switch (outcome) {
        case WriteOutcome::written: return true;
        case WriteOutcome::not_opened: repair_fail(session, action, "Can't reopen '%s' for writing", file.c_str()); break;
        case WriteOutcome::not_written: repair_fail(session, action, "%s", not_written); break;
        case WriteOutcome::not_saved: break;
    }
    return false;
}

WriteOutcome write_in_place(const ScanState& state, RepairSession& session, const RunOptions& options,
                            const char* recording, unsigned part, uint64_t offset, const uint8_t* bytes, size_t count,
                            const char* action) {
    const std::string path = part_file_name(recording, part);
    if (options.dry) {
        // What the real run would refuse before its write: the preview too.
        if (!write_allowed_up_to(offset + count)) return WriteOutcome::not_written;
        if (!undo_folder_usable()) {
            repair_fail(session, action, "Can't save undo data for '%s'", recording);
            return WriteOutcome::not_saved;
        }
        // Noted for the run's later steps, which see it as written.
        FileId dry_id;
        int64_t dry_size = 0;
        if (session.dry_writes && file_status(path.c_str(), dry_id, dry_size))
            note_dry_update(*session.dry_writes, dry_id, offset, bytes, count);
        return WriteOutcome::written;
    }
    TimesKeeper keeper = note_times(path);
    UpdateFile* file = open_update(path.c_str());
    if (!file) return WriteOutcome::not_opened;
    // The file opened must be the one the scan read: a name that now points
    // elsewhere (renamed over, replaced) would get bytes made for another file.
    OpenStatus opened;
    const bool scanned = state.part_ids.size() == state.parts.size() && part < state.part_ids.size();
    if (!update_status(file, opened) || (scanned && (opened.id.device != state.part_ids[part].device ||
                                                     opened.id.inode != state.part_ids[part].inode))) {
        close_update(file);
        return WriteOutcome::not_opened;
    }
    const int64_t size = opened.size;
    WriteOutcome outcome = WriteOutcome::written;
    // A write cut short by the file-size limit would leave half a packet behind.
    std::vector<uint8_t> old_bytes(count, 0);
    if (!write_allowed_up_to(offset + count)) {
        outcome = WriteOutcome::not_written;
    } else {
        read_update(file, offset, old_bytes.data(), count);
        if (!save_undo(session, recording, part, offset, old_bytes.data(), bytes, count,
                       keeper.times ? *keeper.times : FileTimes{}, size)) {
            repair_fail(session, action, "Can't save undo data for '%s'", recording);
            outcome = WriteOutcome::not_saved;
        } else if (!write_update(file, offset, bytes, count)) {
            outcome = WriteOutcome::not_written;
        }
    }
    // On the disk before the success line is printed.
    if (outcome == WriteOutcome::written && !sync_update(file)) outcome = WriteOutcome::not_written;
    if (!close_update(file) && outcome == WriteOutcome::written) outcome = WriteOutcome::not_written;
    if (!restore_times(keeper)) repair_fail(session, action, "Can't keep the times of '%s'", path.c_str());
    // How the write left the file, times put back: what -undo expects to find.
    note_undo_after(session, recording, part, outcome == WriteOutcome::written);
    return outcome;
}

}  // namespace varnek
