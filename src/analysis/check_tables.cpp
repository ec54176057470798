// -check's rules for tables and streams: sections put together across
// packets and their CRCs, the PAT and the PMTs every 500 ms, the video and
// audio streams of the PMTs, their PTS every 700 ms, and scrambling.
#include <algorithm>
#include <cstring>

#include "analysis/check_follow.h"
#include "util/output.h"

namespace varnek {

namespace {

constexpr int64_t table_interval = 500 * ticks_per_ms;
constexpr int64_t stream_interval = 5000 * ticks_per_ms;
constexpr int64_t pts_interval = 700 * ticks_per_ms;
constexpr unsigned section_length_max = section_bytes_max - 3;

std::string printed(const char* format, unsigned long long a = 0, unsigned long long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// A recording time as hh:mm:ss.mmm.
std::string time_text(int64_t ticks) {
    return ticks <= 0 ? "00:00:00.000" : format_ms(uint32_t(ticks / ticks_per_ms));
}

void track_sections(Follow& f, unsigned pid) {
    if (f.section_slot[pid] == 0) {
        if (f.sections.size() == f.sections.capacity()) return;  // the reserve is the limit
        f.sections.emplace_back();
        f.section_slot[pid] = uint8_t(f.sections.size());
    }
    f.word[pid] |= mode_tables;
}

TableTimer* pmt_timer(Follow& f, unsigned pid) {
    if (f.pmt_slot[pid] == 0) {
        if (f.pmts.size() == followed_pmts) return nullptr;
        f.pmts.emplace_back();
        f.pmts.back().pid = uint16_t(pid);
        f.pmts.back().named = false;
        f.pmt_slot[pid] = uint8_t(f.pmts.size());
    }
    track_sections(f, pid);
    return &f.pmts[f.pmt_slot[pid] - 1];
}

const char* table_name(unsigned table) {
    switch (table) {
        case 0x00: return "PAT";
        case 0x01: return "CAT";
        case 0x02: return "PMT";
        case 0x40:
        case 0x41: return "NIT";
        case 0x42:
        case 0x46: return "SDT";
        case 0x4A: return "BAT";
        case 0x73: return "TOT";
        default: return table >= 0x4E && table <= 0x6F ? "EIT" : nullptr;
    }
}

// A section of the table came: the gap since the one before counts when it
// is longer than 500 ms and no PCR has counted it yet.
void table_came(TableTimer& t, CheckKind kind, const char* name, const Where& where, Follow& f, CheckResult& result) {
    const int64_t now = recording_ticks(f, where.at);
    if (now < 0) return;
    if (t.seen && !t.late && now - t.last > table_interval)
        note(f, result, kind, where, t.pid,
             std::string("no ") + name + " section since " + time_text(t.last) + " (more than 500 ms)");
    t.seen = true;
    t.late = false;
    t.last = now;
}

void table_late(TableTimer& t, CheckKind kind, const char* name, int64_t now, const Where& where, Follow& f,
                CheckResult& result) {
    if (!t.seen || t.late || now - t.last <= table_interval) return;
    t.late = true;
    note(f, result, kind, where, t.pid,
         std::string("no ") + name + " section since " + time_text(t.last) + " (more than 500 ms)");
}

// Video and audio: by stream type, and private data by an audio descriptor
// (AC-3, enhanced AC-3, DTS, AAC).
bool video_or_audio(unsigned type, const uint8_t* descriptors, unsigned size) {
    switch (type) {
        case 0x01: case 0x02: case 0x10: case 0x1B: case 0x24: case 0x42: case 0xD1: case 0xEA:  // video
        case 0x03: case 0x04: case 0x0F: case 0x11: case 0x1C: case 0x81: case 0x87:             // audio
            return true;
        case 0x06:
            for (unsigned d = 0; d + 2 <= size; d += 2 + descriptors[d + 1]) {
                const unsigned tag = descriptors[d];
                if (tag == 0x6A || tag == 0x7A || tag == 0x7B || tag == 0x7C) return true;
            }
            return false;
        default:
            return false;
    }
}

void list_stream(Follow& f, unsigned pid, unsigned pmt_pid, int64_t now) {
    if (f.stream_slot[pid] == 0) {
        if (f.streams.size() == followed_streams) return;
        f.streams.emplace_back();
        f.streams.back().pid = uint16_t(pid);
        f.streams.back().listed = false;
        f.stream_slot[pid] = uint8_t(f.streams.size());
    }
    AvStream& s = f.streams[f.stream_slot[pid] - 1];
    if (!s.listed) {
        s.listed = true;
        s.place = follow_place(f.word[pid]);
        s.since = now;
        s.gap_counted = false;
    }
    s.pmt_pid = uint16_t(pmt_pid);
}

// The PMT PIDs of a PAT section (program 0 names the network PID).
void read_pat(const uint8_t* b, unsigned size, Follow& f) {
    for (TableTimer& t : f.pmts) t.named = false;
    for (unsigned e = 8; e + 4 <= size - 4; e += 4) {
        const unsigned program = (unsigned(b[e]) << 8) | b[e + 1];
        const unsigned pid = (unsigned(b[e + 2] & 0x1F) << 8) | b[e + 3];
        if (program == 0) continue;
        if (TableTimer* t = pmt_timer(f, pid)) t->named = true;
    }
}

// The streams of a PMT section.
void read_pmt(TableTimer& t, const uint8_t* b, unsigned size, const Where& where, Follow& f) {
    for (uint16_t pid : t.streams) {
        if (f.stream_of_pmt[pid] == t.pid + 1) f.stream_of_pmt[pid] = 0;
        if (f.stream_slot[pid] != 0 && f.streams[f.stream_slot[pid] - 1].pmt_pid == t.pid)
            f.streams[f.stream_slot[pid] - 1].listed = false;
    }
    t.streams.clear();
    if (size < 16) return;
    const unsigned end = size - 4;  // the CRC
    const int64_t now = recording_ticks(f, where.at);
    for (unsigned e = 12 + (((unsigned(b[10]) & 0x0F) << 8) | b[11]); e + 5 <= end;) {
        const unsigned type = b[e];
        const unsigned pid = (unsigned(b[e + 1] & 0x1F) << 8) | b[e + 2];
        const unsigned info = ((unsigned(b[e + 3]) & 0x0F) << 8) | b[e + 4];
        const unsigned info_end = std::min(end, e + 5 + info);
        t.streams.push_back(uint16_t(pid));
        f.stream_of_pmt[pid] = uint16_t(t.pid + 1);
        if (video_or_audio(type, b + e + 5, info_end - (e + 5))) list_stream(f, pid, t.pid, now);
        e += 5 + info;
    }
}

// A whole section: its CRC, and what it means for its PID's table.
void finish_section(const SectionBuffer& s, unsigned pid, Follow& f, CheckResult& result) {
    const uint8_t* b = s.bytes.get();
    const unsigned size = s.have, table = b[0];
    // Tables with the section syntax have a CRC, and so has the TOT.
    const bool has_crc = (b[1] & 0x80) != 0 || table == 0x73;
    bool crc_ok = has_crc;
    if (has_crc && (size < 7 || mpeg_crc32(b, size) != 0)) {
        crc_ok = false;
        const char* name = table_name(table);
        std::string detail = name ? name : printed("table 0x%02llX", table);
        if (size < 7) {
            detail += printed(" section of %llu bytes, too short for a CRC", size);
        } else {
            const uint8_t* c = b + size - 4;
            uint32_t stored = (uint32_t(c[0]) << 24) | (uint32_t(c[1]) << 16) | (uint32_t(c[2]) << 8) | c[3];
            detail += printed(" section CRC %08llX, computed %08llX", stored, mpeg_crc32(b, size - 4));
        }
        note(f, result, CheckKind::crc, s.start, int(pid), detail);
    }
    const uint32_t crc = size >= 4 ? (uint32_t(b[size - 4]) << 24) | (uint32_t(b[size - 3]) << 16) |
                                         (uint32_t(b[size - 2]) << 8) | b[size - 1]
                                   : 0;
    if (pid == 0) {
        if (table != 0x00) {
            note(f, result, CheckKind::pat, s.start, 0, printed("a section with table id 0x%02llX on PID 0", table));
            return;
        }
        table_came(f.pat, CheckKind::pat, "PAT", s.start, f, result);
        if (crc_ok && !(f.pat.read && f.pat.crc == crc)) {
            f.pat.read = true;
            f.pat.crc = crc;
            read_pat(b, size, f);
        }
    } else if (f.pmt_slot[pid] != 0) {
        TableTimer& t = f.pmts[f.pmt_slot[pid] - 1];
        if (table != 0x02) {
            if (t.named)
                note(f, result, CheckKind::pmt, s.start, int(pid),
                     printed("a section with table id 0x%02llX on the PMT PID", table));
            return;
        }
        if (t.named) table_came(t, CheckKind::pmt, "PMT", s.start, f, result);
        if (crc_ok && !(t.read && t.crc == crc)) {
            t.read = true;
            t.crc = crc;
            read_pmt(t, b, size, s.start, f);
        }
    }
}

// Takes bytes into the section until it is whole; returns how many it took.
// A length beyond what a section may have drops it.
unsigned take(SectionBuffer& s, const uint8_t* data, unsigned count) {
    unsigned used = 0;
    while (used < count && s.collecting) {
        const unsigned need = s.have < 3 ? 3 : 3 + (((unsigned(s.bytes[1]) & 0x0F) << 8) | s.bytes[2]);
        if (s.have == need) break;
        const unsigned n = std::min(need - s.have, count - used);
        std::memcpy(s.bytes.get() + s.have, data + used, n);
        s.have += n;
        used += n;
        if (s.have == 3 && (((unsigned(s.bytes[1]) & 0x0F) << 8) | s.bytes[2]) > section_length_max)
            s.collecting = false;
    }
    return used;
}

bool whole(const SectionBuffer& s) {
    return s.collecting && s.have >= 3 && s.have == 3 + (((unsigned(s.bytes[1]) & 0x0F) << 8) | s.bytes[2]);
}

}  // namespace

void follow_fixed_tables(Follow& f) {
    // Reserved once: the buffers never move while a section is taken in.
    f.sections.reserve(7 + followed_pmts);
    f.pmts.reserve(followed_pmts);
    f.streams.reserve(followed_streams);
    f.pat.pid = 0;
    for (unsigned pid : {0x00u, 0x01u, 0x10u, 0x11u, 0x12u, 0x13u, 0x14u}) track_sections(f, pid);
}

void follow_pmt_pid(unsigned pid, Follow& f) { pmt_timer(f, pid); }

void follow_sections(const uint8_t* p, unsigned pid, bool broken, const Where& where, Follow& f,
                     CheckResult& result) {
    if (f.section_slot[pid] == 0) return;
    SectionBuffer& s = f.sections[f.section_slot[pid] - 1];
    if (broken) s.collecting = false;  // bytes are lost: the section cannot be whole
    const unsigned h = payload_offset(p);
    if (!has_payload_bit(p) || h >= packet_size) return;
    const uint8_t* data = p + h;
    const unsigned size = packet_size - h;
    if (!has_pusi(p)) {
        take(s, data, size);
        if (!whole(s)) return;
        finish_section(s, pid, f, result);
        s.collecting = false;
        return;
    }
    // The pointer field: the bytes before the first new section end the one
    // begun before.
    const unsigned pointer = data[0];
    if (s.collecting) {
        take(s, data + 1, std::min(pointer, size - 1));
        if (whole(s)) finish_section(s, pid, f, result);
    }
    s.collecting = false;
    // New sections follow one another up to the stuffing (0xFF).
    for (unsigned i = 1 + pointer; i < size && data[i] != 0xFF;) {
        s.collecting = true;
        s.have = 0;
        s.start = where;
        i += take(s, data + i, size - i);
        if (!whole(s)) break;  // it goes on in the next packet, or was dropped
        finish_section(s, pid, f, result);
        s.collecting = false;
    }
}

void abandon_section(unsigned pid, Follow& f) {
    if (f.section_slot[pid] != 0) f.sections[f.section_slot[pid] - 1].collecting = false;
}

void check_timers(const Where& where, Follow& f, CheckResult& result) {
    const int64_t now = recording_ticks(f, where.at);
    if (now < 0) return;
    table_late(f.pat, CheckKind::pat, "PAT", now, where, f, result);
    for (TableTimer& t : f.pmts)
        if (t.named) table_late(t, CheckKind::pmt, "PMT", now, where, f, result);
    for (AvStream& s : f.streams) {
        if (!s.listed) continue;
        const uint64_t word = f.word[s.pid];
        if (s.since < 0) s.since = now;  // listed before the first PCR
        if ((word & mode_seen) != 0 && follow_place(word) != s.place) {
            s.place = follow_place(word);
            s.since = recording_ticks(f, s.place);
            s.gap_counted = false;
        } else if (!s.gap_counted && now - s.since > stream_interval) {
            s.gap_counted = true;
            note(f, result, CheckKind::stream_gap, where, s.pid,
                 "no packet since " + time_text(s.since) + " (more than 5 s)");
        }
    }
}

void check_pes_start(const uint8_t* p, unsigned pid, const Where& where, Follow& f, CheckResult& result) {
    AvStream& s = f.streams[f.stream_slot[pid] - 1];
    const unsigned o = pes_start_offset(p);
    if (!s.listed || o == 0 || !inside_packet(o, 8) || (p[o + 7] & 0x80) == 0) return;
    const int64_t now = recording_ticks(f, where.at);
    if (now < 0) return;
    if (s.has_pts && now - s.last_pts > pts_interval)
        note(f, result, CheckKind::pts_gap, where, int(pid),
             printed("%llu ms since the last PES start with a PTS", (now - s.last_pts) / ticks_per_ms));
    s.has_pts = true;
    s.last_pts = now;
}

void check_scrambling(const uint8_t* p, unsigned pid, const Where& where, Follow& f, CheckResult& result) {
    uint64_t& word = f.word[pid];
    const unsigned bits = p[3] >> 6;
    if (bits == 0) {
        word &= ~mode_scrambled;
        return;
    }
    if ((word & mode_scrambled) != 0) return;  // counted once per run
    const unsigned slot = f.pmt_slot[pid];
    const char* what;
    CheckKind kind;
    if (pid == 0) {
        kind = CheckKind::pat;
        what = "PID 0 is scrambled";
    } else if (slot != 0 && f.pmts[slot - 1].named) {
        kind = CheckKind::pmt;
        what = "the PMT PID is scrambled";
    } else if (f.stream_of_pmt[pid] != 0) {
        kind = CheckKind::scrambled;
        what = "scrambled packets begin";
    } else {
        return;
    }
    word |= mode_scrambled;
    note(f, result, kind, where, int(pid),
         std::string(what) + printed(" (scrambling bits %llu%llu)", bits >> 1, bits & 1));
}

}  // namespace varnek
