#include "analysis/check.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "analysis/check_follow.h"
#include "analysis/summary.h"
#include "analysis/scanner.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

namespace {

constexpr uint64_t max_pcr_step = 100 * 90;          // 100 ms
constexpr size_t look_ahead = sync_look_ahead;
constexpr uint64_t sync_run = 5 * packet_size;        // packets in a row that show a transport stream

// Steps forward from a to b on the 33-bit clock; a step "back" is one of
// more than half the clock.
bool steps_back(uint64_t a, uint64_t b) { return ((b - a) & (clock_wrap - 1)) > clock_wrap / 2; }
uint64_t forward(uint64_t a, uint64_t b) { return (b - a) & (clock_wrap - 1); }

std::string printed(const char* format, unsigned long long a = 0, unsigned long long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

int pcr_pid_now(const ScanState& state) {
    return state.stored_pmt ? int(pmt_pcr_pid(state.stored_pmt.data())) : -1;
}

// The PID's last packet: in the read buffer, or the copy kept of it.
const uint8_t* previous_packet(const Follow& f, unsigned pid) {
    const uint64_t at = follow_place(f.word[pid]);
    if (at >= f.buffer_at) return f.buffer + (at - f.buffer_at);
    const unsigned slot = f.saved_slot[pid];
    return slot != 0 && f.saved_at[slot - 1] == at ? f.saved[slot - 1].data() : nullptr;
}

// The same packet sent again: every byte equal but the PCR's.
bool same_packet(const uint8_t* a, const uint8_t* b) {
    if (has_pcr(a) && has_pcr(b) && a[4] == b[4])
        return std::memcmp(a, b, 6) == 0 && std::memcmp(a + 12, b + 12, packet_size - 12) == 0;
    return std::memcmp(a, b, packet_size) == 0;
}

// Keeps a copy of the last packet of every PID whose last packet lies in
// the buffer before end, which the buffer is about to drop.
void keep_last_packets(Follow& f, uint64_t end) {
    for (uint16_t pid : f.active) {
        const uint64_t at = follow_place(f.word[pid]);
        if (at < f.buffer_at || at >= end) continue;
        const unsigned slot = f.saved_slot[pid] - 1;
        if (f.saved_at[slot] == at) continue;
        std::memcpy(f.saved[slot].data(), f.buffer + (at - f.buffer_at), packet_size);
        f.saved_at[slot] = at;
    }
}

struct Counter {
    bool duplicate = false;  // the packet repeats the one before: its content is not taken again
    bool broken = false;     // packets were lost before it
};

// The continuity counter of a packet on pid (not the null PID): it
// advances by one on a packet with payload and stays on one without; one
// packet may be sent twice in a row; a discontinuity indicator starts
// afresh. A packet without payload whose counter moved is one error; the
// packet with payload behind it may follow either counter, since that one
// may tell of a packet lost or of a counter moved by mistake.
Counter follow_counter(const uint8_t* p, unsigned pid, bool discontinuity, const Where& where, Follow& f,
                       CheckResult& result) {
    Counter c;
    uint64_t& word = f.word[pid];
    const unsigned control = (p[3] >> 4) & 3;
    if (control == 0) return c;  // reserved: a decoder drops the packet
    unsigned cc = continuity_counter(p);
    const uint64_t keep = word & (mode_tables | mode_scrambled);
    const bool seen = (word & mode_seen) != 0;
    const bool repeated = (word & mode_repeated) != 0;
    const unsigned last = unsigned(word & 0x0F);
    const int other = (word & mode_other) != 0 ? int((word >> 4) & 0x0F) : -1;
    uint64_t mode = mode_seen;
    if (!seen) {
        f.active.push_back(uint16_t(pid));
        f.saved.emplace_back();
        f.saved_at.push_back(~uint64_t(0));
        f.saved_slot[pid] = uint16_t(f.saved.size());
    } else if (!discontinuity) {
        const unsigned expected = (last + 1) & 0x0F;
        if ((control & 1) == 0) {
            if (cc != last) {
                if (int(cc) != other) {
                    note(f, result, CheckKind::continuity, where, int(pid),
                         printed("expected counter %llu, found %llu (a packet without payload)", last, cc));
                    c.broken = true;
                }
                mode |= mode_other | (uint64_t(cc) << 4);
                cc = last;
            }
        } else if (cc == last) {
            const uint8_t* before = previous_packet(f, pid);
            const bool same = before != nullptr && same_packet(before, p);
            c.duplicate = same;
            if (same && !repeated) {
                mode |= mode_repeated;
            } else {
                note(f, result, CheckKind::continuity, where, int(pid),
                     printed(same ? "expected counter %llu, found %llu (a second repeat)"
                                  : "expected counter %llu, found %llu (the counter repeats with other content: "
                                    "15 packets lost)",
                             expected, cc));
                c.broken = true;
            }
        } else if (cc != expected && (other < 0 || int(cc) != ((other + 1) & 0x0F))) {
            note(f, result, CheckKind::continuity, where, int(pid),
                 printed("expected counter %llu, found %llu", expected, cc));
            c.broken = true;
        }
    }
    word = (where.at << 16) | keep | mode | cc;
    return c;
}

// Moves the recording time on to a PCR of the PCR PID. Across a
// discontinuity the bytes read tell the time between. The rate of ticks
// per byte comes from two PCRs of one part at most 100 ms apart: a gap or a
// join of parts says nothing about the bytes.
void advance_clock(RecordingClock& clock, uint64_t pcr, const Where& where, bool discontinuity) {
    const uint64_t at = where.at;
    const bool same_part = clock.last_part == where.part;
    clock.last_part = where.part;
    if (!clock.started) {
        clock.started = true;
        clock.last_pcr = pcr;
        clock.last_at = at;
        return;
    }
    int64_t step;
    const double bytes = double(at - clock.last_at);
    if (discontinuity)
        step = int64_t(bytes * clock.ticks_per_byte);
    else if (steps_back(clock.last_pcr, pcr))
        step = -int64_t(forward(pcr, clock.last_pcr));
    else
        step = int64_t(forward(clock.last_pcr, pcr));
    if (!discontinuity && same_part && step > 0 && uint64_t(step) <= max_pcr_step && at > clock.last_at)
        clock.ticks_per_byte = double(step) / bytes;
    clock.elapsed = std::max<int64_t>(0, clock.elapsed + step);
    clock.last_pcr = pcr;
    clock.last_at = at;
}

void check_pcr(const ScanState& state, const uint8_t* p, unsigned pid, bool discontinuity, const Where& where,
               Follow& f, CheckResult& result) {
    const uint64_t pcr = pcr_base(p);
    if (f.first_pcr_pid < 0) f.first_pcr_pid = int(pid);
    if (!f.has_first_pcr[pid]) {
        f.has_first_pcr[pid] = true;
        f.first_pcr[pid] = pcr;
    }
    // Every PID that carries a PCR: gaps and steps back within a part.
    if (f.last_pcr_part[pid] == int64_t(where.part) && !discontinuity) {
        uint64_t last = f.last_pcr[pid];
        if (steps_back(last, pcr))
            note(f, result, CheckKind::pcr_gap, where, int(pid),
                 printed("PCR steps back %llu ms", forward(pcr, last) / 90));
        else if (forward(last, pcr) > max_pcr_step)
            note(f, result, CheckKind::pcr_gap, where, int(pid),
                 printed("PCR gap of %llu ms", forward(last, pcr) / 90));
    }
    int pcr_pid = pcr_pid_now(state);
    if (pcr_pid < 0 || unsigned(pcr_pid) == pid) {
        if (f.join_pending && f.last_pcr_part[pid] != int64_t(where.part)) {
            f.join_pending = false;
            if (steps_back(f.join_from, pcr))
                note(f, result, CheckKind::part_join, where, int(pid),
                     printed("the part repeats %llu ms of the part before", forward(pcr, f.join_from) / 90));
            else if (forward(f.join_from, pcr) > max_pcr_step)
                note(f, result, CheckKind::part_join, where, int(pid),
                     printed("%llu ms lost between the parts", forward(f.join_from, pcr) / 90));
        }
        f.time_ms = int64_t(pcr / 90);
        advance_clock(f.clock, pcr, where, discontinuity);
        Where now = where;
        now.time_ms = f.time_ms;
        check_timers(now, f, result);
    }
    f.last_pcr[pid] = pcr;
    f.last_pcr_part[pid] = int64_t(where.part);
}

void check_packet(const ScanState& state, const uint8_t* p, const Where& where, Follow& f, CheckResult& result) {
    ++result.packets;
    if (is_qbx_packet(p)) return;
    const unsigned pid = packet_pid(p);
    if (state.row_of_key[pid] == 0) ++f.unrowed[pid];
    const bool error = has_transport_error(p);
    if (error) note(f, result, CheckKind::transport_error, where, int(pid), "transport error indicator set");

    const bool discontinuity = has_discontinuity(p);
    Counter counter;
    if (pid != null_pid) counter = follow_counter(p, pid, discontinuity, where, f, result);
    if (has_pcr(p)) check_pcr(state, p, pid, discontinuity, where, f, result);
    if (counter.duplicate || pid == null_pid) return;
    if (error) {
        abandon_section(pid, f);
        return;
    }
    // The sections of the PMT the analysis took are read, whatever its PID.
    if (state.stored_pmt && f.stored_pmt_pid < 0) {
        f.stored_pmt_pid = int(packet_pid(state.stored_pmt.data()));
        follow_pmt_pid(unsigned(f.stored_pmt_pid), f);
    }
    check_scrambling(p, pid, where, f, result);
    if ((p[3] & 0xC0) != 0) {  // the payload cannot be read
        abandon_section(pid, f);
        return;
    }
    if ((f.word[pid] & mode_tables) != 0) follow_sections(p, pid, counter.broken, where, f, result);
    if (f.stream_slot[pid] != 0 && has_pusi(p)) check_pes_start(p, pid, where, f, result);
}

// The progress line at a terminal.
struct Progress {
    bool shown = false;
    std::string label;  // "[n/N] name"
    uint64_t total = 0;
    uint64_t done = 0;
    unsigned percent = 101;
    size_t width = 0;   // of the line last written
};

void show(Progress& progress, uint64_t bytes) {
    if (!progress.shown || progress.total == 0) return;
    progress.done += bytes;
    unsigned percent = unsigned(progress.done * 100 / progress.total);
    if (percent > 100) percent = 100;
    if (percent == progress.percent) return;
    progress.percent = percent;
    char text[16];
    std::snprintf(text, sizeof text, " %u%%", percent);
    const std::string line = progress.label + text;
    std::fprintf(console().err, "\r%s", line.c_str());
    progress.width = std::max(progress.width, line.size());
    std::fflush(console().err);
}

void clear(const Progress& progress) {
    if (!progress.shown) return;
    std::fprintf(console().err, "\r%s\r", std::string(progress.width, ' ').c_str());
    std::fflush(console().err);
}

// One part file, every byte of it, starting at recording byte origin;
// returns the bytes read.
uint64_t check_part(InputFile* file, unsigned part, uint64_t origin, const RunOptions& options, ScanState& state,
                    Follow& f, CheckResult& result, uint8_t* buffer, size_t capacity, Progress& progress) {
    uint64_t base = 0;  // file offset of buffer[0]
    size_t have = 0, pos = 0;
    bool end = false;
    bool in_sync = true;
    size_t lost_problem = SIZE_MAX;
    uint64_t lost_at = 0;
    uint64_t run_from = 0;        // where the packets in sync since the last loss begin
    bool run_from_start = true;   // and that is the start of the part
    std::string read_error;
    uint64_t read_error_at = 0;
    f.buffer = buffer;
    f.buffer_at = origin;
    auto where = [&](uint64_t offset) { return Where{part, offset, origin + offset, f.time_ms}; };
    for (;;) {
        if (!end && have - pos <= look_ahead) {
            // Keep the bytes not yet taken in front: no packet is left out at a block's end.
            keep_last_packets(f, origin + base + pos);
            std::memmove(buffer, buffer + pos, have - pos);
            base += pos;
            have -= pos;
            pos = 0;
            f.buffer_at = origin + base;
            size_t got = read_input(file, base + have, buffer + have, capacity - have);
            show(progress, got);
            if (got < capacity - have) {
                read_error = input_error(file);
                read_error_at = base + have + got;
            }
            if (got == 0 || !read_error.empty()) end = true;
            have += got;
            continue;
        }
        if (pos >= have) break;
        if (pos + packet_size > have) {  // only at the end: fewer bytes than a packet
            if (in_sync && read_error.empty())
                note(f, result, CheckKind::partial_packet, where(base + pos), -1,
                     printed("%llu bytes after the last whole packet", have - pos));
            break;
        }
        // In sync, the packet where the chain of sync bytes breaks is where
        // the damage is: no intact packet before it is dropped. Sync is found
        // again by the scan's rule, three sync bytes in a row (or as many as
        // the file still holds).
        bool synced = buffer[pos] == sync_byte &&
                      (in_sync || ((pos + packet_size >= have || buffer[pos + packet_size] == sync_byte) &&
                                   (pos + look_ahead >= have || buffer[pos + look_ahead] == sync_byte)));
        if (!synced) {
            if (in_sync) {
                in_sync = false;
                lost_at = base + pos;
                if (lost_at - run_from >= sync_run) f.sync_found = true;
                lost_problem = result.counts[unsigned(CheckKind::sync)] < check_problems_kept ? result.problems.size()
                                                                                             : SIZE_MAX;
                note(f, result, CheckKind::sync, where(lost_at), -1, "sync lost, not found again in this part");
                state.sync_losses.push_back(SyncLoss{part, lost_at, false, 0});
            }
            ++pos;
            continue;
        }
        if (!in_sync) {
            in_sync = true;
            run_from = base + pos;
            run_from_start = false;
            if (lost_problem != SIZE_MAX)
                result.problems[lost_problem].detail =
                    printed("sync lost, found again at 0x%llX (%llu bytes skipped)", base + pos, base + pos - lost_at);
            state.sync_losses.back().resynced = true;
            state.sync_losses.back().resync = base + pos;
        }
        // The common packet, as the scanner takes it: no transport error,
        // no PUSI, not scrambled, payload only, a PID with its row, and its
        // counter one on from the one before (or the null PID); it counts,
        // and its PID's follow word moves on. Every other packet takes the
        // full way.
        auto common = [&](uint32_t head) {
            if (!common_for_check(head)) return false;
            const unsigned pid = header_pid(head);
            const unsigned row = row_of_header(state, head);
            if (row == 0) return false;
            uint64_t& word = f.word[pid];
            if (uint16_t(word) == (mode_seen | ((head - 1) & 0x0F)))
                word = ((origin + base + pos) << 16) | mode_seen | (head & 0x0F);
            else if (pid != null_pid)
                return false;
            ++state.pid_table.rows[row - 1].count;
            pos += packet_size;
            return true;
        };
        if (state.head_run != HeadRun::open && common(header_word(buffer + pos))) {
            // A run of common packets, while the buffer holds more than the
            // look-ahead: each needs only its header, row and follow word.
            size_t from = pos - packet_size;
            while (have - pos > look_ahead && common(header_word(buffer + pos))) {
            }
            result.packets += (pos - from) / packet_size;
            continue;
        }
        const uint8_t* packet = buffer + pos;
        analyse_packet(state, packet, base + pos, options);
        check_packet(state, packet, where(base + pos), f, result);
        pos += packet_size;
    }
    // A run in sync up to the end shows a transport stream when it is long
    // enough, or when it is the whole part (a file of a few packets).
    if (in_sync && (base + pos - run_from >= sync_run || (run_from_start && base + pos > 0))) f.sync_found = true;
    keep_last_packets(f, origin + base + have);
    f.buffer_at = ~uint64_t(0);
    if (!read_error.empty())
        note(f, result, CheckKind::read_error, where(read_error_at), -1, "read error: " + read_error);
    close_input(file);
    return base + have;
}

bool path_exists(const std::string& path) { return path_size(path.c_str()) >= 0 || is_directory(path.c_str()); }

// The table of PIDs: the PID list's rows, then the PIDs beyond them that
// had packets or problems.
void list_pids(const ScanState& state, const Follow& f, CheckResult& result) {
    StreamList streams{};
    if (state.stored_pmt) pmt_streams(state.stored_pmt.data(), streams);
    std::array<bool, check_pids> listed{};
    auto counts_of = [&](unsigned pid, CheckPid& row) {
        if (f.problem_slot[pid] != 0) row.counts = f.pid_counts[f.problem_slot[pid] - 1];
    };
    for (const PidSlot& slot : state.pid_table.rows) {
        if (slot.key == no_pid_key) break;
        CheckPid row;
        row.pid = slot.key & 0x1FFF;
        row.label = pid_label(state, streams, slot.key);
        row.packets = slot.count;
        if (slot.key != info_pid_key) {
            counts_of(slot.key, row);
            listed[slot.key] = true;
        }
        result.pids.push_back(row);
    }
    for (unsigned pid = 0; pid < check_pids; ++pid) {
        if (listed[pid] || (f.unrowed[pid] == 0 && f.problem_slot[pid] == 0)) continue;
        CheckPid row;
        row.pid = pid;
        row.label = pid_label(state, streams, uint16_t(pid));
        row.packets = f.unrowed[pid];
        counts_of(pid, row);
        result.pids.push_back(row);
    }
}

}  // namespace

int64_t recording_ticks(const Follow& f, uint64_t at) {
    const RecordingClock& c = f.clock;
    if (!c.started) return -1;
    const double bytes = at >= c.last_at ? double(at - c.last_at) : -double(c.last_at - at);
    return std::max<int64_t>(0, c.elapsed + int64_t(bytes * c.ticks_per_byte));
}

void note(Follow& f, CheckResult& result, CheckKind kind, const Where& where, int pid, std::string detail) {
    const unsigned k = unsigned(kind);
    if (pid >= 0) {
        uint16_t& slot = f.problem_slot[unsigned(pid)];
        if (slot == 0) {
            f.pid_counts.emplace_back();
            f.problem_pids.push_back(uint16_t(pid));
            slot = uint16_t(f.pid_counts.size());
        }
        ++f.pid_counts[slot - 1][k];
    }
    if (result.counts[k]++ >= check_problems_kept) return;
    CheckProblem problem{kind, where.part, where.offset, pid, where.time_ms, -1, std::move(detail)};
    if (check_kind_located(kind)) {
        const int64_t ticks = recording_ticks(f, where.at);
        problem.at_ms = ticks < 0 ? -1 : ticks / ticks_per_ms;
    }
    result.problems.push_back(std::move(problem));
}

void tally_verdict(CheckTally& tally, CheckVerdict verdict) {
    ++tally.recordings;
    ++tally.of[unsigned(verdict)];
}

const char* check_verdict_name(CheckVerdict verdict) {
    static const char* const names[] = {"intact", "damaged", "unreadable", "not_ts"};
    return names[unsigned(verdict)];
}

CheckVerdict CheckResult::verdict() const {
    if (counts[unsigned(CheckKind::read_error)] != 0) return CheckVerdict::unreadable;
    if (!transport_stream) return CheckVerdict::not_ts;
    for (uint64_t n : counts)
        if (n != 0) return CheckVerdict::damaged;
    return CheckVerdict::intact;
}

void check_recording(const char* name, InputFile* first_file, const RunOptions& run_options, ScanState& state,
                     CheckResult& result, const CheckProgress& check_progress) {
    // The analysis runs quietly beside the check: no markers, no dumps.
    RunOptions options = run_options;
    options.progress = false;
    options.hex = false;
    options.all_packets = true;

    Progress progress;
    progress.shown = check_progress.shown;
    if (progress.shown) {
        char number[48];
        std::snprintf(number, sizeof number, "[%u/%u] ", check_progress.number, check_progress.total);
        progress.label = number + shown(name, console().err);
        for (unsigned part = 0;; ++part) {
            const std::string part_name = part_file_name(name, part);
            if (part > 0 && !is_regular_file(part_name.c_str())) break;  // where the check ends too
            int64_t size = path_size(part_name.c_str());
            if (size < 0) break;
            progress.total += uint64_t(size);
        }
    }
    std::unique_ptr<Follow> follow(new Follow);
    Follow& f = *follow;
    f.last_pcr_part.fill(-1);
    follow_fixed_tables(f);
    const size_t capacity = size_t(block_bytes) + look_ahead;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    uint64_t origin = 0;
    unsigned part = 0;
    const PartsEnd end = walk_parts(state, name, first_file, [&](InputFile* file, unsigned n, const std::string&,
                                                                  const FileId*) {
        part = n;
        advise_sequential(file);
        // The last PCR of the part before is compared with this part's first.
        int pcr_pid = pcr_pid_now(state) >= 0 ? pcr_pid_now(state) : f.first_pcr_pid;
        if (part > 0 && pcr_pid >= 0 && f.last_pcr_part[unsigned(pcr_pid)] == int64_t(part) - 1) {
            f.join_pending = true;
            f.join_from = f.last_pcr[unsigned(pcr_pid)];
        } else {
            f.join_pending = false;
        }
        origin += check_part(file, part, origin, options, state, f, result, buffer.get(), capacity, progress);
    });
    // A part file that is there but cannot be read ends the recording before
    // it; one that is no regular file (its error line is out already) may
    // not pass for the recording's end either, or a recording whose parts
    // were never read would be called intact.
    if (end.not_regular || path_exists(end.next)) {
        state.parts.push_back(PartFile{end.next, -1});
        note(f, result, CheckKind::read_error, Where{part + 1, 0, origin, f.time_ms}, -1,
             end.not_regular ? "the part file is not a regular file" : "the part file cannot be opened");
    } else {
        // A gap in the part numbers ends the recording; parts behind it are lost to it.
        for (unsigned later = part + 2; later <= part + 10; ++later) {
            const std::string there = part_file_name(name, later);
            if (!path_exists(there)) continue;
            note(f, result, CheckKind::part_missing, Where{}, -1,
                 "'" + end.next + "' is missing, '" + there + "' is there");
            break;
        }
    }
    clear(progress);

    int pcr_pid = pcr_pid_now(state) >= 0 ? pcr_pid_now(state) : f.first_pcr_pid;
    if (pcr_pid >= 0 && f.has_first_pcr[unsigned(pcr_pid)]) {
        // One value, or equal ones, measure nothing.
        const uint64_t span = forward(f.first_pcr[unsigned(pcr_pid)], f.last_pcr[unsigned(pcr_pid)]);
        if (span != 0) result.measured_ms = int64_t(span / 90);
    }
    if (!state.stored_header) note(f, result, CheckKind::no_header, Where{}, -1, "no QBXH record");
    if (!state.stored_pat) note(f, result, CheckKind::no_pat, Where{}, -1, "no PAT");
    if (!state.stored_pmt) note(f, result, CheckKind::no_pmt, Where{}, -1, "no PMT");
    if (state.stored_header && result.measured_ms >= 0) {
        int64_t said = int64_t(qbxh_duration(state.stored_header.data())) * 1000;
        int64_t apart = said > result.measured_ms ? said - result.measured_ms : result.measured_ms - said;
        if (apart > 2000 && apart * 100 > result.measured_ms) {
            std::string detail = std::string("the header record says ") + format_hms(uint32_t(said / 1000));
            detail += std::string(", the PCRs span ") + format_hms(uint32_t(result.measured_ms / 1000));
            note(f, result, CheckKind::duration, Where{}, -1, detail);
        }
    }
    // What lies before the first PCR lies at the recording's start.
    if (f.clock.started)
        for (CheckProblem& problem : result.problems)
            if (check_kind_located(problem.kind) && problem.at_ms < 0) problem.at_ms = 0;
    result.transport_stream = f.sync_found;
    if (result.verdict() == CheckVerdict::not_ts) {
        // Damage in something else is no news.
        result.counts.fill(0);
        result.problems.clear();
        return;
    }
    list_pids(state, f, result);
}

}  // namespace varnek
