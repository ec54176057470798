#include "analysis/check.h"

#include <cstring>
#include <memory>

#include "analysis/scanner.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

namespace {

constexpr uint64_t clock_wrap = uint64_t(1) << 33;    // 90 kHz ticks
constexpr uint64_t max_pcr_step = 100 * 90;          // 100 ms
constexpr size_t look_ahead = 2 * packet_size;        // the three-sync-byte rule's
constexpr unsigned pids = 8192;

// What the check follows per PID and across the parts.
struct Follow {
    std::array<uint8_t, pids> last_cc{};
    std::array<uint8_t, pids> cc_seen{};    // 0: none yet, 1: seen, 2: seen and repeated once
    std::array<uint64_t, pids> last_pcr{};
    std::array<int64_t, pids> last_pcr_part{};  // -1: none yet
    std::array<uint64_t, pids> first_pcr{};
    std::array<bool, pids> has_first_pcr{};
    int first_pcr_pid = -1;                 // the first PID that carried a PCR
    int64_t time_ms = -1;                   // latest PCR on the PCR PID
    bool join_pending = false;              // the next part's first PCR is compared with join_from
    uint64_t join_from = 0;
};

// Steps forward from a to b on the 33-bit clock; a step "back" is one of
// more than half the clock.
bool steps_back(uint64_t a, uint64_t b) { return ((b - a) & (clock_wrap - 1)) > clock_wrap / 2; }
uint64_t forward(uint64_t a, uint64_t b) { return (b - a) & (clock_wrap - 1); }

std::string printed(const char* format, unsigned long long a = 0, unsigned long long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

void note(CheckResult& result, CheckKind kind, unsigned part, uint64_t offset, int pid, int64_t time_ms,
          std::string detail) {
    unsigned k = unsigned(kind);
    if (result.counts[k]++ < check_problems_kept)
        result.problems.push_back(CheckProblem{kind, part, offset, pid, time_ms, std::move(detail)});
}

int pcr_pid_now(const ScanState& state) {
    return state.stored_pmt ? int(pmt_pcr_pid(state.stored_pmt.data())) : -1;
}

// A PAT or PMT section wholly inside the packet must have a CRC over the
// whole section (its CRC field included) of 0.
void check_section(const uint8_t* p, unsigned pid, unsigned part, uint64_t offset, const Follow& f,
                   CheckResult& result) {
    unsigned h = payload_offset(p);
    if (!inside_packet(h, 1)) return;
    unsigned start = h + 1 + p[h];
    if (!inside_packet(start, 3)) return;
    uint8_t table = p[start];
    if (!((pid == 0 && table == 0x00) || table == 0x02)) return;
    unsigned length = ((unsigned(p[start + 1]) & 0x0F) << 8) | p[start + 2];
    if (length < 4 || !inside_packet(start + 3, length)) return;
    if (mpeg_crc32(p + start, 3 + length) == 0) return;
    unsigned at = start + 3 + length - 4;
    uint32_t stored = (uint32_t(p[at]) << 24) | (uint32_t(p[at + 1]) << 16) | (uint32_t(p[at + 2]) << 8) | p[at + 3];
    uint32_t computed = mpeg_crc32(p + start, 3 + length - 4);
    char detail[96];
    std::snprintf(detail, sizeof detail, "%s section CRC %08X, computed %08X", table == 0 ? "PAT" : "PMT",
                  unsigned(stored), unsigned(computed));
    note(result, CheckKind::crc, part, offset, int(pid), f.time_ms, detail);
}

// The continuity counter of a packet with payload on pid.
void check_counter(const uint8_t* p, unsigned pid, bool discontinuity, unsigned part, uint64_t offset, Follow& f,
                   CheckResult& result) {
    unsigned cc = continuity_counter(p);
    if (f.cc_seen[pid] != 0 && !discontinuity) {
        unsigned expected = (f.last_cc[pid] + 1) & 0x0F;
        if (cc == f.last_cc[pid] && f.cc_seen[pid] == 1) {
            f.cc_seen[pid] = 2;  // one repeated packet is allowed
        } else if (cc != expected) {
            note(result, CheckKind::continuity, part, offset, int(pid), f.time_ms,
                 printed(cc == f.last_cc[pid] ? "expected counter %llu, found %llu (a second repeat)"
                                              : "expected counter %llu, found %llu",
                         expected, cc));
            f.cc_seen[pid] = 1;
        } else {
            f.cc_seen[pid] = 1;
        }
    } else {
        f.cc_seen[pid] = 1;
    }
    f.last_cc[pid] = uint8_t(cc);
}

void check_packet(const ScanState& state, const uint8_t* p, unsigned part, uint64_t offset, Follow& f,
                  CheckResult& result) {
    ++result.packets;
    if (is_qbx_packet(p)) return;
    const unsigned pid = packet_pid(p);
    if (has_transport_error(p))
        note(result, CheckKind::transport_error, part, offset, int(pid), f.time_ms, "transport error indicator set");

    const bool discontinuity = has_discontinuity(p);
    if (pid != null_pid && has_payload_bit(p)) check_counter(p, pid, discontinuity, part, offset, f, result);

    if (has_pcr(p)) {
        const uint64_t pcr = pcr_base(p);
        if (f.first_pcr_pid < 0) f.first_pcr_pid = int(pid);
        if (!f.has_first_pcr[pid]) {
            f.has_first_pcr[pid] = true;
            f.first_pcr[pid] = pcr;
        }
        int pcr_pid = pcr_pid_now(state);
        if (pcr_pid < 0 || unsigned(pcr_pid) == pid) {
            if (f.last_pcr_part[pid] == int64_t(part) && !discontinuity) {
                uint64_t last = f.last_pcr[pid];
                if (steps_back(last, pcr))
                    note(result, CheckKind::pcr_gap, part, offset, int(pid), f.time_ms,
                         printed("PCR steps back %llu ms", forward(pcr, last) / 90));
                else if (forward(last, pcr) > max_pcr_step)
                    note(result, CheckKind::pcr_gap, part, offset, int(pid), f.time_ms,
                         printed("PCR gap of %llu ms", forward(last, pcr) / 90));
            }
            if (f.join_pending && f.last_pcr_part[pid] != int64_t(part)) {
                f.join_pending = false;
                if (steps_back(f.join_from, pcr))
                    note(result, CheckKind::part_join, part, offset, int(pid), f.time_ms,
                         printed("the part repeats %llu ms of the part before", forward(pcr, f.join_from) / 90));
                else if (forward(f.join_from, pcr) > max_pcr_step)
                    note(result, CheckKind::part_join, part, offset, int(pid), f.time_ms,
                         printed("%llu ms lost between the parts", forward(f.join_from, pcr) / 90));
            }
            f.time_ms = int64_t(pcr / 90);
        }
        f.last_pcr[pid] = pcr;
        f.last_pcr_part[pid] = int64_t(part);
    }

    if (has_pusi(p) && has_payload_bit(p)) check_section(p, pid, part, offset, f, result);
}

struct Progress {
    bool shown = false;
    uint64_t total = 0;
    uint64_t done = 0;
    unsigned percent = 101;
};

void show(Progress& progress, uint64_t bytes) {
    if (!progress.shown || progress.total == 0) return;
    progress.done += bytes;
    unsigned percent = unsigned(progress.done * 100 / progress.total);
    if (percent > 100) percent = 100;
    if (percent == progress.percent) return;
    progress.percent = percent;
    std::fprintf(console().err, "\r%3u%%", percent);
    std::fflush(console().err);
}

// One part file, every byte of it.
void check_part(InputFile* file, unsigned part, const RunOptions& options, ScanState& state, Follow& f,
                CheckResult& result, uint8_t* buffer, size_t capacity, Progress& progress) {
    uint64_t base = 0;  // file offset of buffer[0]
    size_t have = 0, pos = 0;
    bool end = false;
    bool in_sync = true;
    size_t lost_problem = SIZE_MAX;
    uint64_t lost_at = 0;
    for (;;) {
        if (!end && have - pos <= look_ahead) {
            // Keep the bytes not yet taken in front: no packet is left out at a block's end.
            std::memmove(buffer, buffer + pos, have - pos);
            base += pos;
            have -= pos;
            pos = 0;
            size_t got = read_input(file, base + have, buffer + have, capacity - have);
            show(progress, got);
            if (got == 0) end = true;
            have += got;
            continue;
        }
        if (pos >= have) break;
        if (pos + packet_size > have) {  // only at the end: fewer bytes than a packet
            if (in_sync)
                note(result, CheckKind::partial_packet, part, base + pos, -1, f.time_ms,
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
                lost_problem = result.counts[unsigned(CheckKind::sync)] < check_problems_kept ? result.problems.size()
                                                                                             : SIZE_MAX;
                note(result, CheckKind::sync, part, lost_at, -1, f.time_ms, "sync lost, not found again in this part");
                state.sync_losses.push_back(SyncLoss{part, lost_at, false, 0});
            }
            ++pos;
            continue;
        }
        if (!in_sync) {
            in_sync = true;
            if (lost_problem != SIZE_MAX)
                result.problems[lost_problem].detail =
                    printed("sync lost, found again at 0x%llX (%llu bytes skipped)", base + pos, base + pos - lost_at);
            state.sync_losses.back().resynced = true;
            state.sync_losses.back().resync = base + pos;
        }
        const uint8_t* packet = buffer + pos;
        // The common packet, as the scanner takes it: no transport error,
        // no PUSI, no adaptation field, a PID with its row; it counts, and
        // its counter follows the one before.
        auto common = [&](uint32_t head) {
            const unsigned pid = (head >> 8) & 0x1FFF;
            const unsigned row = state.row_of_key[pid];
            if ((head & 0x00C00020) != 0 || row == 0) return false;
            ++state.pid_table.rows[row - 1].count;
            ++result.packets;
            if (pid != null_pid && (head & 0x10) != 0) {
                if (f.cc_seen[pid] == 1 && (head & 0x0F) == ((f.last_cc[pid] + 1u) & 0x0F))
                    f.last_cc[pid] = uint8_t(head & 0x0F);
                else
                    check_counter(buffer + pos, pid, false, part, base + pos, f, result);
            }
            pos += packet_size;
            return true;
        };
        if (state.head_run != HeadRun::open && common(header_word(packet))) {
            // A run of common packets, while the buffer holds more than the
            // look-ahead: each needs only its sync byte, header and row.
            while (have - pos > look_ahead && buffer[pos] == sync_byte && common(header_word(buffer + pos))) {
            }
            continue;
        }
        analyse_packet(state, packet, base + pos, options);
        check_packet(state, packet, part, base + pos, f, result);
        pos += packet_size;
    }
    close_input(file);
}

}  // namespace

const char* check_kind_name(CheckKind kind) {
    static const char* const names[check_kinds] = {"sync",    "continuity", "transport_error", "pcr_gap",
                                                   "part_join", "partial_packet", "crc", "no_header",
                                                   "no_pat",  "no_pmt",     "duration"};
    return names[unsigned(kind)];
}

bool CheckResult::intact() const {
    for (uint64_t n : counts)
        if (n != 0) return false;
    return true;
}

void check_recording(const char* name, InputFile* first_file, const RunOptions& run_options, ScanState& state,
                     CheckResult& result, bool show_progress) {
    // The analysis runs quietly beside the check: no markers, no dumps.
    RunOptions options = run_options;
    options.progress = false;
    options.hex = false;
    options.all_packets = true;

    Progress progress;
    progress.shown = show_progress;
    if (show_progress) {
        for (unsigned part = 0;; ++part) {
            const std::string part_name = part_file_name(name, part);
            if (part > 0 && !is_regular_file(part_name.c_str())) break;  // where the check ends too
            int64_t size = path_size(part_name.c_str());
            if (size < 0) break;
            progress.total += uint64_t(size);
        }
    }
    std::unique_ptr<Follow> follow(new Follow);
    follow->last_pcr_part.fill(-1);
    const size_t capacity = size_t(block_bytes) + look_ahead;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    InputFile* file = first_file;
    for (unsigned part = 0;; ++part) {
        state.current_part = part;
        FileId id;
        if (file_id_of_input(file, id)) state.part_ids.push_back(id);
        std::string part_name = part_file_name(name, part);
        state.parts.push_back(PartFile{part_name, input_size(file)});
        advise_sequential(file);
        // The last PCR of the part before is compared with this part's first.
        int pcr_pid = pcr_pid_now(state) >= 0 ? pcr_pid_now(state) : follow->first_pcr_pid;
        if (part > 0 && pcr_pid >= 0 && follow->last_pcr_part[unsigned(pcr_pid)] == int64_t(part) - 1) {
            follow->join_pending = true;
            follow->join_from = follow->last_pcr[unsigned(pcr_pid)];
        } else {
            follow->join_pending = false;
        }
        check_part(file, part, options, state, *follow, result, buffer.get(), capacity, progress);
        file = open_next_part(part_file_name(name, part + 1).c_str());
        if (!file) break;
    }
    if (progress.shown) {
        std::fputs("\r    \r", console().err);
        std::fflush(console().err);
    }

    int pcr_pid = pcr_pid_now(state) >= 0 ? pcr_pid_now(state) : follow->first_pcr_pid;
    if (pcr_pid >= 0 && follow->has_first_pcr[unsigned(pcr_pid)])
        result.measured_ms = int64_t(forward(follow->first_pcr[unsigned(pcr_pid)], follow->last_pcr[unsigned(pcr_pid)]) / 90);
    if (!state.stored_header) note(result, CheckKind::no_header, 0, 0, -1, -1, "no QBXH record");
    if (!state.stored_pat) note(result, CheckKind::no_pat, 0, 0, -1, -1, "no PAT");
    if (!state.stored_pmt) note(result, CheckKind::no_pmt, 0, 0, -1, -1, "no PMT");
    if (state.stored_header && result.measured_ms >= 0) {
        int64_t said = int64_t(qbxh_duration(state.stored_header.data())) * 1000;
        int64_t apart = said > result.measured_ms ? said - result.measured_ms : result.measured_ms - said;
        if (apart > 2000 && apart * 100 > result.measured_ms) {
            std::string detail = std::string("the header record says ") + format_hms(uint32_t(said / 1000));
            detail += std::string(", the PCRs span ") + format_hms(uint32_t(result.measured_ms / 1000));
            note(result, CheckKind::duration, 0, 0, -1, -1, detail);
        }
    }
}

void print_check(const char* name, const ScanState& state, const CheckResult& result) {
    std::FILE* out = console().out;
    constexpr unsigned shown_per_kind = 20;
    std::array<unsigned, check_kinds> listed{};
    for (const CheckProblem& problem : result.problems) {
        unsigned k = unsigned(problem.kind);
        if (listed[k]++ >= shown_per_kind) continue;
        if (problem.kind >= CheckKind::no_header) {
            std::fprintf(out, "'%s': %s: %s\n", shown(name, out).c_str(), check_kind_name(problem.kind),
                         problem.detail.c_str());
            continue;
        }
        const std::string& part = state.parts[problem.part].name;
        std::fprintf(out, "'%s' offset 0x%llX packet %llu", shown(part, out).c_str(), static_cast<unsigned long long>(problem.offset),
                     static_cast<unsigned long long>(problem.offset / packet_size));
        if (problem.time_ms >= 0) std::fprintf(out, " time %s", format_ms(uint32_t(problem.time_ms)));
        if (problem.pid >= 0) std::fprintf(out, " PID %d", problem.pid);
        std::fprintf(out, ": %s: %s\n", check_kind_name(problem.kind), problem.detail.c_str());
    }
    for (unsigned k = 0; k < check_kinds; ++k)
        if (result.counts[k] > shown_per_kind)
            std::fprintf(out, "'%s': %llu more %s problems\n", shown(name, out).c_str(),
                         static_cast<unsigned long long>(result.counts[k] - shown_per_kind),
                         check_kind_name(CheckKind(k)));
    if (result.intact()) {
        std::fprintf(out, "'%s': intact (%llu packets, %s)\n", shown(name, out).c_str(), static_cast<unsigned long long>(result.packets),
                     format_hms(uint32_t(result.measured_ms > 0 ? result.measured_ms / 1000 : 0)));
        return;
    }
    std::fprintf(out, "'%s': damaged:", shown(name, out).c_str());
    const char* separator = " ";
    for (unsigned k = 0; k < check_kinds; ++k) {
        if (result.counts[k] == 0) continue;
        std::fprintf(out, "%s%llu %s", separator, static_cast<unsigned long long>(result.counts[k]),
                     check_kind_name(CheckKind(k)));
        separator = ", ";
    }
    std::fputs("\n", out);
}

}  // namespace varnek
