#include "repair/salvage.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include "analysis/check.h"
#include "analysis/scanner.h"
#include "platform/platform.h"
#include "repair/fix_header.h"
#include "repair/fix_pat.h"
#include "repair/repair_log.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

namespace {

constexpr const char* action = "salvage";
// Packets of the part before that a part's first packets are compared with.
constexpr size_t join_window = 1000;
// Bytes behind a position that its judgement may read: a chain of three
// sync bytes that starts inside the packet there.
constexpr size_t look_ahead = 3 * packet_size;
// Reads of several blocks: a run of packets far from its part's end (at
// least direct_packets) goes to the new file in one write straight from
// the read buffer.
constexpr size_t read_capacity = 7 * size_t(block_bytes) + look_ahead;
constexpr size_t direct_packets = 256;
// Every other packet goes through a ring of two writes of this size, which
// always holds the last join_window packets for a join.
constexpr size_t write_bytes = 2 * size_t(block_bytes);
constexpr size_t sink_capacity = 2 * write_bytes;
static_assert(sink_capacity - write_bytes >= join_window * packet_size, "the buffer holds a join's packets");
// The disk is asked to take the new file's bytes every so many bytes, so
// that it writes while the pass reads on and the flush at the end has
// little left to wait for.
constexpr uint64_t writeback_bytes = uint64_t(16) << 20;
constexpr uint64_t clock_mask = (uint64_t(1) << 33) - 1;  // 90 kHz ticks
constexpr uint64_t max_pcr_step = 100 * 90;                // 100 ms, as -check allows

// Where the new file's bytes go: through the ring, written out half by
// half, or straight from where they stand. Without a file (-dry) the bytes
// are only counted.
struct Sink {
    NewFile* file = nullptr;
    std::unique_ptr<uint8_t[]> buffer{new uint8_t[sink_capacity]};
    uint64_t end = 0;           // bytes put so far: the new file's size
    uint64_t flushed = 0;       // bytes written to the file
    uint64_t copied_from = 0;   // where the packets copied behind the last added one begin
    uint64_t ring_from = 0;     // the ring holds the bytes from here on (none written straight)
    uint64_t written_back = 0;  // the disk was asked to take the bytes before this offset
    bool ok = true;
};

void write_back(Sink& sink) {
    start_writeback(sink.file, sink.written_back, sink.flushed - sink.written_back);
    sink.written_back = sink.flushed;
}

void write_at_end(Sink& sink, const uint8_t* bytes, size_t count) {
    if (sink.file && sink.ok && count > 0)
        sink.ok = write_allowed_up_to(sink.flushed + count) && write_new(sink.file, bytes, count);
    sink.flushed += count;
    if (sink.file && sink.flushed - sink.written_back >= writeback_bytes) write_back(sink);
}

// Writes what was put since the last write; it lies inside one half of
// the ring.
void flush(Sink& sink) {
    write_at_end(sink, sink.buffer.get() + sink.flushed % sink_capacity, size_t(sink.end - sink.flushed));
}

// Bytes that stay where they are until written, behind those put before.
// The last join_window packets of them are kept in the ring all the same:
// when nothing but garbage follows up to the part's end, a join compares
// with them.
void put_straight(Sink& sink, const uint8_t* bytes, size_t count) {
    flush(sink);
    write_at_end(sink, bytes, count);
    const size_t kept = std::min(count, join_window * packet_size);
    for (size_t done = 0; done < kept;) {
        const size_t at = size_t((sink.end + count - kept + done) % sink_capacity);
        const size_t n = std::min(kept - done, sink_capacity - at);
        std::memcpy(sink.buffer.get() + at, bytes + count - kept + done, n);
        done += n;
    }
    sink.end += count;
    sink.ring_from = sink.end - kept;
}

void put(Sink& sink, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const size_t at = size_t(sink.end % sink_capacity);
        const size_t n = std::min(count, write_bytes - at % write_bytes);
        std::memcpy(sink.buffer.get() + at, bytes, n);
        sink.end += n;
        bytes += n;
        count -= n;
        if (sink.end % write_bytes == 0) flush(sink);
    }
}

// Copies the packets copied into the new file behind the last added one,
// at most join_window of them, from the end of the file so far into out;
// returns how many.
size_t tail_packets(const Sink& sink, uint8_t* out) {
    const uint64_t from =
        std::max({sink.copied_from, sink.ring_from, sink.end - std::min<uint64_t>(sink.end, sink_capacity)});
    const size_t count = size_t(std::min<uint64_t>((sink.end - from) / packet_size, join_window));
    for (uint64_t at = sink.end - count * packet_size; at < sink.end; at += packet_size, out += packet_size)
        std::memcpy(out, sink.buffer.get() + at % sink_capacity, packet_size);
    return count;
}

// What the new file gets in front of the recording's packets.
struct Head {
    std::unique_ptr<TsPacket> record;  // a generated header record
    std::unique_ptr<TsPacket> pat;     // a generated PAT, for when the head is not followed by one
    std::unique_ptr<TsPacket> pmt;     // a copy of the recording's first PMT, behind that PAT
};

// One forward pass over the part files into the sink.
struct Pass {
    Sink sink;
    const Head* head = nullptr;
    bool in_head = true;  // the receiver's packets at the recording's start are being taken
    std::vector<std::string> added;
    uint64_t packets = 0;   // in the new file
    uint64_t taken = 0;     // whole packets in sync read from the parts
    uint64_t repeated = 0;  // of those, left out at part joins
    uint64_t bytes_read = 0;

    // A part's first packets, held until it is clear how many of them
    // repeat the end of the part before: the candidates are the places in
    // those last packets from which all held packets matched so far. Once
    // none is left, a repeat is confirmed by the clock where there is one:
    // the first PCR behind it goes on from the last one before the join.
    bool joining = false;
    std::unique_ptr<uint8_t[]> before{new uint8_t[join_window * packet_size]};
    size_t before_count = 0;
    std::vector<uint32_t> candidates;
    size_t repeats = 0;  // the longest run of held packets that repeats the very end
    std::unique_ptr<uint8_t[]> held{new uint8_t[join_window * packet_size]};
    size_t held_count = 0;
    bool clock_before = false;  // a PCR before the join to go on from
    uint64_t pcr_before = 0;

    // The clock of the new file: first and last PCR on the PCR PID.
    int pcr_pid = -1;  // -1: the first PID that carries one
    bool pcr_seen = false;
    uint64_t first_pcr = 0, last_pcr = 0;
};

void add(Pass& pass, const TsPacket& packet, const char* what) {
    put(pass.sink, packet.data(), packet_size);
    pass.sink.copied_from = pass.sink.end;
    ++pass.packets;
    pass.added.push_back(what);
}

// Behind the receiver's packets: a PAT and the PMT, unless a PAT follows.
void end_head(Pass& pass, bool pat_follows) {
    pass.in_head = false;
    if (pat_follows || !pass.head->pat) return;
    add(pass, *pass.head->pat, "PAT");
    if (pass.head->pmt) add(pass, *pass.head->pmt, "PMT");
}

// far: the packets lie so far from their part's end that they cannot be
// among the last packets a join compares with.
void copy(Pass& pass, const uint8_t* packets, size_t count, bool far = false) {
    while (count > 0 && pass.in_head) {
        if (!is_qbx_packet(packets)) {
            end_head(pass, packet_pid(packets) == 0);
            break;
        }
        put(pass.sink, packets, packet_size);
        ++pass.packets;
        packets += packet_size;
        --count;
    }
    if (far && count >= direct_packets)
        put_straight(pass.sink, packets, count * packet_size);
    else
        put(pass.sink, packets, count * packet_size);
    pass.packets += count;
}

void begin_join(Pass& pass) {
    pass.before_count = tail_packets(pass.sink, pass.before.get());
    if (pass.before_count == 0) return;
    pass.joining = true;
    pass.candidates.clear();
    for (uint32_t j = 0; j < pass.before_count; ++j) pass.candidates.push_back(j);
    pass.repeats = 0;
    pass.held_count = 0;
    pass.clock_before = pass.pcr_seen;
    pass.pcr_before = pass.last_pcr;
}

void end_join(Pass& pass) {
    pass.joining = false;
    pass.repeated += pass.repeats;
    copy(pass, pass.held.get() + pass.repeats * packet_size, pass.held_count - pass.repeats);
    pass.held_count = 0;
}

// A held packet behind the repeat: its PCR on the PCR PID tells whether
// the part goes on where the part before ended (within the 100 ms between
// two PCRs) or later, behind a gap, where packets that happen to be equal
// (stuffing, tables) repeat nothing.
void confirm(Pass& pass, const uint8_t* packet) {
    if (!has_pcr(packet) || packet_pid(packet) != pass.pcr_pid) return;
    if (((pcr_base(packet) - pass.pcr_before) & clock_mask) > max_pcr_step) pass.repeats = 0;
    end_join(pass);
}

// One packet at a part's start, compared with the last packets before.
void join_step(Pass& pass, const uint8_t* packet) {
    const size_t i = pass.held_count;
    std::memcpy(pass.held.get() + i * packet_size, packet, packet_size);
    ++pass.held_count;
    if (pass.candidates.empty()) {
        confirm(pass, packet);
    } else {
        size_t kept = 0;
        for (uint32_t j : pass.candidates) {
            if (std::memcmp(pass.before.get() + (j + i) * packet_size, packet, packet_size) != 0) continue;
            if (j + i + 1 == pass.before_count)
                pass.repeats = i + 1;  // all held packets repeat the end
            else
                pass.candidates[kept++] = j;
        }
        pass.candidates.resize(kept);
        if (!pass.candidates.empty()) return;
        if (pass.repeats == 0 || !pass.clock_before) return end_join(pass);
        for (size_t k = pass.repeats; k < pass.held_count && pass.joining; ++k)
            confirm(pass, pass.held.get() + k * packet_size);
    }
    // Held as long as there is room; then the bytes alone decide.
    if (pass.joining && pass.held_count == join_window) end_join(pass);
}

void take(Pass& pass, const uint8_t* packets, size_t count, bool far = false) {
    pass.taken += count;
    for (; pass.joining && count > 0; --count, packets += packet_size) join_step(pass, packets);
    if (count > 0) copy(pass, packets, count, far);
}

inline void follow_clock(Pass& pass, const uint8_t* packet) {
    if ((packet[3] & 0x20) == 0 || !has_pcr(packet)) return;
    const int pid = packet_pid(packet);
    if (pass.pcr_pid < 0) pass.pcr_pid = pid;
    if (pid != pass.pcr_pid) return;
    pass.last_pcr = pcr_base(packet);
    if (!pass.pcr_seen) pass.first_pcr = pass.last_pcr;
    pass.pcr_seen = true;
}

// A packet begins at x: three sync bytes in a row, or as many as the part
// still holds once its end has been read.
bool chain_at(const uint8_t* buffer, size_t x, size_t have, bool end) {
    if (x + packet_size > have) return false;
    for (size_t next = x; next < x + look_ahead; next += packet_size) {
        if (next >= have) return end;
        if (buffer[next] != sync_byte) return false;
    }
    return true;
}

// One part file, every byte of it, in one forward pass: runs of whole
// packets in sync are taken, every other byte is left out. A part begins
// out of sync, so that its first packet needs the three sync bytes too.
// False when the part could not be read to its end.
bool read_part(Pass& pass, InputFile* file, uint8_t* buffer) {
    const int64_t size = input_size(file);
    uint64_t base = 0;  // offset of buffer[0] in the part
    size_t have = 0, pos = 0;
    bool end = false, in_sync = false;
    for (;;) {
        if (!end && have - pos <= look_ahead) {
            std::memmove(buffer, buffer + pos, have - pos);
            base += pos;
            have -= pos;
            pos = 0;
            const size_t got = read_input(file, base + have, buffer + have, read_capacity - have);
            if (got == 0) end = true;
            have += got;
            continue;
        }
        if (pos >= have) break;
        // Positions that can be judged with the bytes at hand.
        const size_t judged = end ? have : have - look_ahead;
        if (!in_sync) {
            while (pos < judged) {
                const void* next = std::memchr(buffer + pos, sync_byte, judged - pos);
                if (!next) {
                    pos = judged;
                    break;
                }
                pos = size_t(static_cast<const uint8_t*>(next) - buffer);
                if (chain_at(buffer, pos, have, end)) {
                    in_sync = true;
                    break;
                }
                ++pos;
            }
            continue;
        }
        // A run of packets in sync, each followed by a sync byte or the end.
        const size_t run = pos;
        while (pos < judged && pos + packet_size <= have && buffer[pos] == sync_byte &&
               (pos + packet_size == have || buffer[pos + packet_size] == sync_byte)) {
            follow_clock(pass, buffer + pos);
            pos += packet_size;
        }
        if (pos > run)
            take(pass, buffer + run, (pos - run) / packet_size,
                 size >= 0 && base + pos + sink_capacity <= uint64_t(size));
        if (pos >= judged) continue;
        if (pos + packet_size > have || buffer[pos] != sync_byte) {
            in_sync = false;  // a part's last bytes, or where the sync bytes stop
            continue;
        }
        // A packet not followed by a sync byte: cut short when a chain of
        // packets begins inside it, else whole, with garbage behind it.
        size_t inside = pos + 1;
        while (inside < pos + packet_size && !chain_at(buffer, inside, have, end)) ++inside;
        if (inside < pos + packet_size) {
            pos = inside;
            continue;
        }
        follow_clock(pass, buffer + pos);
        take(pass, buffer + pos, 1);
        pos += packet_size;
    }
    pass.bytes_read += base + have;
    return size < 0 || base + have >= uint64_t(size);
}

// The first PMT of the recording: read again where the scan met it first,
// since the scan keeps the latest one.
std::unique_ptr<TsPacket> first_pmt(const ScanState& state) {
    if (!state.stored_pmt) return nullptr;
    auto pmt = std::make_unique<TsPacket>();
    std::copy(state.stored_pmt.data(), state.stored_pmt.data() + packet_size, pmt->begin());
    if (state.stored_pmt.part >= state.parts.size()) return pmt;
    TsPacket first;
    bool not_regular = false;
    InputFile* file = open_part_input(state.parts[state.stored_pmt.part].name.c_str(), not_regular);
    if (!file) return pmt;
    const bool read = read_input(file, state.stored_pmt.offset, first.data(), packet_size) == packet_size;
    close_input(file);
    if (read && is_pmt_section(first.data())) *pmt = first;
    return pmt;
}

// The counter of a packet set one before the counter of next, so that
// the counters run on from an added packet into the recording's own.
void counter_before(TsPacket& packet, const uint8_t* next) {
    packet[3] = uint8_t((packet[3] & 0xF0) | ((continuity_counter(next) + 15) & 0x0F));
}

Head plan_head(const ScanState& state, const Summary& summary, const RepairSession& session) {
    Head head;
    head.pmt = first_pmt(state);
    if (!head.pmt) return head;
    if (!session.stored_header)
        head.record = std::make_unique<TsPacket>(build_header(state, summary, head.pmt->data()));
    // The PAT names the PMT that follows it.
    TsPacket names{};
    qbxh_put_u16(names.data(), qbxh_program_at, pmt_program_number(head.pmt->data()));
    qbxh_put_u16(names.data(), qbxh_pmt_pid_at, packet_pid(head.pmt->data()));
    head.pat = std::make_unique<TsPacket>(build_pat(names.data()));
    if (session.stored_pat) counter_before(*head.pat, session.stored_pat.data());
    counter_before(*head.pmt, head.pmt->data());
    return head;
}

bool same_file(const FileId& a, const FileId& b) { return a.device == b.device && a.inode == b.inode; }

// True when path names a recording of the command line or one of its part
// files: an existing file by its identity, any name by where it points.
bool names_a_recording(const std::string& path, const std::vector<const char*>& recordings) {
    FileId id;
    int64_t size = 0;
    const bool exists = file_status(path.c_str(), id, size);
    const std::string target = resolved_path(path.c_str());
    // A part file a recording may get beside another of its names (a link
    // to it, a second hard link): the name less its number is the recording.
    size_t digits = path.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(path[digits - 1]))) --digits;
    FileId base;
    const bool numbered = digits < path.size() && file_status(path.substr(0, digits).c_str(), base, size);
    for (const char* recording : recordings) {
        FileId named;
        if (numbered && file_status(recording, named, size) && same_file(named, base)) return true;
        const std::string base = resolved_path(recording);
        if (target.compare(0, base.size(), base) == 0 &&
            std::all_of(target.begin() + long(base.size()), target.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
            return true;
        if (!exists) continue;
        for (const std::string& part : salvage_parts(recording)) {
            FileId other;
            if (file_status(part.c_str(), other, size) && same_file(other, id)) return true;
        }
    }
    return false;
}

// The new file's name, or false with the error line printed when it may
// not be written.
bool choose_target(RepairSession& session, const RunOptions& options, const char* name,
                   const std::vector<const char*>& recordings, std::string& target) {
    const std::string given = options.salvage_file;
    FileId id;
    int64_t size = 0;
    if (recordings.size() > 1 || is_directory(given.c_str())) {
        if (!is_directory(given.c_str())) {
            if (is_symlink(given.c_str()) || file_status(given.c_str(), id, size)) {
                repair_fail(session, action, "'%s' is not a folder", given.c_str());
                return false;
            }
            if (!options.dry && !make_folder(given.c_str())) {
                repair_fail(session, action, "Can't make the folder '%s'", given.c_str());
                return false;
            }
        }
        const std::string resolved = resolved_path(name);
        const char last = given.back();
        target = given + (last == '/' || last == '\\' ? "" : "/") + resolved.substr(resolved.rfind('/') + 1);
    } else {
        target = given;
    }
    if (is_symlink(target.c_str())) {
        repair_fail(session, action, "'%s' is a symbolic link: not written", target.c_str());
        return false;
    }
    if (names_a_recording(target, recordings)) {
        repair_fail(session, action, "Refusing to overwrite recording '%s'", target.c_str());
        return false;
    }
    // A file beside the target under its first part file's name would be
    // read with the new file as its part file: the clean copy would not be
    // what was written, nor its verdict the verdict of the file as named.
    const std::string first_part = part_file_name(target, 1);
    if (path_exists(first_part.c_str())) {
        repair_fail(session, action, "'%s' exists: '%s' would be read with it as its part file", first_part.c_str(),
                    target.c_str());
        return false;
    }
    // The other way round: the target as a part file of a file beside it
    // (x.ts1 beside x.ts) would change that file and its verdict, told already.
    for (size_t digits = target.size(); digits > 0 && std::isdigit(static_cast<unsigned char>(target[digits - 1]));) {
        --digits;
        const unsigned long number = std::strtoul(target.c_str() + digits, nullptr, 10);
        if (target[digits] == '0' || digits == 0 || number >= 1000) continue;
        const std::string base = target.substr(0, digits);
        bool chained = is_regular_file(base.c_str());
        for (unsigned long part = 1; chained && part < number; ++part)
            chained = path_exists(part_file_name(base, unsigned(part)).c_str());
        if (chained) {
            repair_fail(session, action, "'%s' would be read as the part file of '%s'", target.c_str(), base.c_str());
            return false;
        }
    }
    // Two recordings of one name salvaged into one folder: the second would
    // replace the first one's result, even with -force. One run, one process.
    static std::set<std::string> targets_of_run;
    if (!targets_of_run.insert(resolved_path(target.c_str())).second) {
        repair_fail(session, action, "'%s' is written by this run already", target.c_str());
        return false;
    }
    if (file_status(target.c_str(), id, size)) {
        if (!is_regular_file(target.c_str())) {
            repair_fail(session, action, "'%s' is not a regular file: not written", target.c_str());
            return false;
        }
        if (!options.force) {
            repair_fail(session, action, "'%s' exists: use -force to replace it", target.c_str());
            return false;
        }
    }
    return true;
}

// The -check verdict of a written file, with everything the check prints
// on the way discarded.
std::string verdict_of(const std::string& path, const RunOptions& options) {
    InputFile* file = open_input(path.c_str());
    if (!file) return "unreadable";
    std::FILE* quiet = open_null_output();
    std::FILE* saved = console().out;
    if (quiet) console().out = quiet;
    ScanState state;
    CheckResult result;
    check_recording(path.c_str(), file, options, state, result, CheckProgress{});
    console().out = saved;
    if (quiet) std::fclose(quiet);
    return check_verdict_name(result.verdict());
}

// Drops the temporary file of a salvage that failed.
void discard(NewFile*& file, const std::string& temp) {
    remove_when_stopped(nullptr);
    if (file) close_new(file);
    file = nullptr;
    if (!temp.empty()) remove_file(temp.c_str());
}

std::string salvage_line(const char* name, const std::string& target, const Pass& pass, uint32_t seconds) {
    std::string line = "Salvaged '" + std::string(name) + "' into '" + target + "': " + std::to_string(pass.packets) +
                       " packets (" + format_hms(seconds) + ")";
    const uint64_t outside = pass.bytes_read - pass.taken * packet_size;
    std::string left_out;
    if (outside > 0) left_out = std::to_string(outside) + " bytes outside packets";
    if (pass.repeated > 0)
        left_out += (left_out.empty() ? "" : ", ") + std::to_string(pass.repeated) + " packets repeated at part joins";
    if (!left_out.empty()) line += "; left out: " + left_out;
    for (size_t i = 0; i < pass.added.size(); ++i) line += (i == 0 ? "; added: " : ", ") + pass.added[i];
    return line;
}

}  // namespace

std::vector<std::string> salvage_parts(const std::string& name) {
    std::vector<std::string> parts{name};
    for (unsigned part = 1, missing = 0; missing < 10; ++part) {
        std::string next = part_file_name(name, part);
        if (is_regular_file(next.c_str())) {
            parts.push_back(next);
            missing = 0;
        } else {
            ++missing;
        }
    }
    return parts;
}

bool salvage_recording(const ScanState& state, const Summary& summary, RepairSession& session,
                       const RunOptions& options, const char* name, const std::vector<const char*>& recordings) {
    // The pass reads the recording a second time: a FIFO or a device would
    // wait for bytes that the scan has taken already, or never end.
    if (!is_regular_file(name)) {
        repair_fail(session, action, "'%s' is not a regular file: not salvaged", name);
        return false;
    }
    std::string target;
    if (!choose_target(session, options, name, recordings, target)) return false;
    FileTimes times;
    const bool have_times = get_file_times(name, times);

    Head head = plan_head(state, summary, session);
    Pass pass;
    pass.head = &head;
    if (head.pmt) pass.pcr_pid = pmt_pcr_pid(head.pmt->data());
    std::string temp;
    if (!options.dry) {
        pass.sink.file = create_temp_beside(target.c_str(), temp);
        if (!pass.sink.file) {
            repair_fail(session, action, "Can't open '%s' for writing", target.c_str());
            return false;
        }
        remove_when_stopped(temp.c_str());
    }
    if (head.record) add(pass, *head.record, "header record");

    std::unique_ptr<uint8_t[]> buffer(new uint8_t[read_capacity]);
    const std::vector<std::string> parts = salvage_parts(name);
    for (size_t part = 0; part < parts.size(); ++part) {
        bool not_regular = false;
        InputFile* file = open_part_input(parts[part].c_str(), not_regular);
        if (!file) {
            repair_fail(session, action, "Can't open '%s' for reading", parts[part].c_str());
            discard(pass.sink.file, temp);
            return false;
        }
        advise_sequential(file);
        if (part > 0) begin_join(pass);
        const bool whole = read_part(pass, file, buffer.get());
        close_input(file);
        if (!whole) {
            repair_fail(session, action, "Can't read '%s' to its end", parts[part].c_str());
            discard(pass.sink.file, temp);
            return false;
        }
        if (pass.joining) end_join(pass);
    }
    if (pass.in_head) end_head(pass, false);
    if (pass.taken == 0) {
        repair_fail(session, action, "No ts packets found in '%s'", name);
        discard(pass.sink.file, temp);
        return false;
    }
    // The measured duration: the PCR span of the new file, which the
    // generated record carries as well.
    const uint32_t seconds = pass.pcr_seen ? uint32_t(((pass.last_pcr - pass.first_pcr) & clock_mask) / 90 / 1000) : 0;
    uint8_t duration[2];
    qbxh_put_u16(duration, 0, uint16_t(std::min<uint32_t>(seconds, 0xFFFF)));
    const bool patch = head.record && pass.pcr_seen;
    const bool record_in_buffer = pass.sink.flushed == 0;
    if (patch && record_in_buffer) std::memcpy(pass.sink.buffer.get() + qbxh_duration_at, duration, 2);
    flush(pass.sink);

    SalvageNote note{target, pass.packets, pass.bytes_read - pass.taken * packet_size, pass.repeated, pass.added, ""};
    if (!options.dry) {
        NewFile*& file = pass.sink.file;
        bool ok = pass.sink.ok;
        if (ok && patch && !record_in_buffer) ok = write_new_at(file, qbxh_duration_at, duration, 2);
        write_back(pass.sink);
        // Checked under the temporary name, which has no part files, while
        // the disk takes the last bytes.
        if (ok) note.verdict = verdict_of(temp, options);
        ok = ok && sync_new(file);
        ok = close_new(file) && ok;
        file = nullptr;
        // The new file sorts by date where its recording did.
        FileTimes own;
        bool timed = !have_times;
        if (ok && have_times && get_file_times(temp.c_str(), own)) {
            own.modify_sec = times.modify_sec;
            own.modify_nsec = times.modify_nsec;
            timed = set_file_times(temp.c_str(), own);
        }
        if (!ok || !rename_file(temp.c_str(), target.c_str())) {
            repair_fail(session, action, "Can't write '%s'", target.c_str());
            discard(file, temp);
            return false;
        }
        remove_when_stopped(nullptr);
        sync_folder_of(target.c_str());
        repair_announce(session, options, action, "%s", salvage_line(name, target, pass, seconds).c_str());
        repair_say(session, action, "'%s': %s", target.c_str(),
                   note.verdict == "not_ts" ? "not a transport stream" : note.verdict.c_str());
        session.salvage_note = note;
        if (!timed) {
            repair_fail(session, action, "Can't keep the times of '%s'", target.c_str());
            return false;
        }
        return true;
    }
    repair_announce(session, options, action, "%s", salvage_line(name, target, pass, seconds).c_str());
    session.salvage_note = note;
    return true;
}

}  // namespace varnek
