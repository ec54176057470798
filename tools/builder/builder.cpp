// The recording builder; see builder.h.
#include "builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include <sys/types.h>
#include <unistd.h>

namespace varnek::build {

namespace {

void put_be16(Bytes& b, unsigned value) {
    b.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    b.push_back(static_cast<uint8_t>(value & 0xFF));
}

void put_le16(Packet& p, size_t at, unsigned value) {
    p[at] = static_cast<uint8_t>(value & 0xFF);
    p[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

// Sets the length field (bytes 1..2) and appends the CRC field.
void finish_section(Bytes& s, const SectionTweaks& tweaks) {
    unsigned length = static_cast<unsigned>(s.size() - 3 + 4);
    if (tweaks.section_length >= 0) length = static_cast<unsigned>(tweaks.section_length);
    s[1] = static_cast<uint8_t>(0xB0 | ((length >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(length & 0xFF);
    uint32_t crc = crc32_mpeg2(s);
    s.push_back(static_cast<uint8_t>(crc >> 24));
    s.push_back(static_cast<uint8_t>(crc >> 16));
    s.push_back(static_cast<uint8_t>(crc >> 8));
    s.push_back(static_cast<uint8_t>(crc));
}

uint8_t version_byte(uint8_t version) {
    // reserved '11', version number, current_next_indicator 1
    return static_cast<uint8_t>(0xC0 | ((version & 0x1F) << 1) | 0x01);
}

bool is_video_id(uint8_t stream_id) { return (stream_id & 0xF0) == 0xE0; }

uint16_t packet_pid_of(const Packet& p) {
    return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
}

}  // namespace

// ---------------------------------------------------------------------------

uint32_t crc32_mpeg2(const uint8_t* data, size_t count, uint32_t crc) {
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) {
            if (crc & 0x80000000u)
                crc = (crc << 1) ^ 0x04C11DB7u;
            else
                crc <<= 1;
        }
    }
    return crc;
}

uint32_t crc32_mpeg2(const Bytes& data) { return crc32_mpeg2(data.data(), data.size()); }

std::array<uint8_t, 5> pts_bytes(uint64_t pts) {
    pts &= clock_mask;
    return {
        static_cast<uint8_t>(0x20 | (((pts >> 30) & 0x07) << 1) | 0x01),
        static_cast<uint8_t>((pts >> 22) & 0xFF),
        static_cast<uint8_t>((((pts >> 15) & 0x7F) << 1) | 0x01),
        static_cast<uint8_t>((pts >> 7) & 0xFF),
        static_cast<uint8_t>(((pts & 0x7F) << 1) | 0x01),
    };
}

std::array<uint8_t, 6> pcr_bytes(uint64_t base) {
    base &= clock_mask;
    return {
        static_cast<uint8_t>((base >> 25) & 0xFF),
        static_cast<uint8_t>((base >> 17) & 0xFF),
        static_cast<uint8_t>((base >> 9) & 0xFF),
        static_cast<uint8_t>((base >> 1) & 0xFF),
        static_cast<uint8_t>(((base & 0x01) << 7) | 0x7E),
        0x00,
    };
}

// ---------------------------------------------------------------------------

Packet make_packet(const PacketFields& fields) {
    Packet p;
    p.fill(0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((fields.pusi ? 0x40 : 0x00) | ((fields.pid >> 8) & 0x1F));
    p[2] = static_cast<uint8_t>(fields.pid & 0xFF);
    uint8_t control = 0;
    switch (fields.layout) {
        case Layout::payload_only: control = 0x10; break;
        case Layout::adaptation_and_payload: control = 0x30; break;
        case Layout::adaptation_only: control = 0x20; break;
    }
    p[3] = static_cast<uint8_t>(control | (fields.continuity & 0x0F));

    size_t pos = 4;
    if (control & 0x20) {
        int length = fields.adaptation_length;
        if (length < 0)
            length = fields.layout == Layout::adaptation_only ? 183 : (fields.with_pcr ? 7 : 1);
        length = std::min(length, 183);
        p[4] = static_cast<uint8_t>(fields.raw_adaptation_length >= 0 ? fields.raw_adaptation_length & 0xFF
                                                                    : length);
        if (fields.with_pcr) {
            p[5] = 0x10;
            auto pcr = pcr_bytes(fields.pcr_base);
            std::copy(pcr.begin(), pcr.end(), p.begin() + 6);
        } else if (length >= 1) {
            p[5] = 0x00;
        }
        pos = 5 + static_cast<size_t>(length);
    }
    if (fields.layout != Layout::adaptation_only) {
        size_t n = std::min(fields.payload.size(), packet_bytes - pos);
        std::copy_n(fields.payload.begin(), n, p.begin() + static_cast<std::ptrdiff_t>(pos));
    }
    return p;
}

Packet pcr_packet(uint16_t pid, uint64_t pcr_base) {
    PacketFields f;
    f.pid = pid;
    f.layout = Layout::adaptation_only;
    f.with_pcr = true;
    f.pcr_base = pcr_base;
    return make_packet(f);
}

Packet null_packet(uint8_t continuity) {
    PacketFields fields;
    fields.pid = null_pid;
    fields.continuity = continuity;
    return make_packet(fields);
}

// ---------------------------------------------------------------------------

Bytes pes_header(const PesFields& fields) {
    Bytes h{0x00, 0x00, 0x01, fields.stream_id, 0x00, 0x00, 0x80,
            static_cast<uint8_t>(fields.with_pts ? 0x80 : 0x00),
            static_cast<uint8_t>(fields.with_pts ? 5 : 0)};
    if (fields.with_pts) {
        auto pts = pts_bytes(fields.pts);
        h.insert(h.end(), pts.begin(), pts.end());
        if (fields.cleared_marker >= 0 && fields.cleared_marker <= 2)
            h[9 + 2 * static_cast<size_t>(fields.cleared_marker)] &= 0xFE;
    }
    h.insert(h.end(), fields.data.begin(), fields.data.end());
    unsigned length = 0;
    if (!is_video_id(fields.stream_id))
        length = static_cast<unsigned>(h.size() - 6);
    h[4] = static_cast<uint8_t>((length >> 8) & 0xFF);
    h[5] = static_cast<uint8_t>(length & 0xFF);
    return h;
}

Packet pes_packet(const PesFields& fields) {
    PacketFields ps;
    ps.pid = fields.pid;
    ps.pusi = true;
    ps.continuity = fields.continuity;
    bool adaptation = fields.with_pcr || fields.adaptation_length >= 0;
    ps.layout = adaptation ? Layout::adaptation_and_payload : Layout::payload_only;
    ps.adaptation_length = fields.adaptation_length;
    ps.with_pcr = fields.with_pcr;
    ps.pcr_base = fields.pcr_base;
    ps.payload = pes_header(fields);
    if (!is_video_id(fields.stream_id)) {
        // The packet's payload after the length field, stuffing included.
        int field = adaptation ? (fields.adaptation_length >= 0 ? fields.adaptation_length : 7) : -1;
        long room = static_cast<long>(packet_bytes) - (field < 0 ? 4 : 5 + std::min(field, 183)) - 6;
        unsigned length = static_cast<unsigned>(std::max(0L, room));
        ps.payload[4] = static_cast<uint8_t>((length >> 8) & 0xFF);
        ps.payload[5] = static_cast<uint8_t>(length & 0xFF);
    }
    return make_packet(ps);
}

Packet pes_with_pts(uint16_t pid, uint8_t stream_id, uint64_t pts_ticks, uint8_t continuity) {
    PesFields fields;
    fields.pid = pid;
    fields.stream_id = stream_id;
    fields.pts = pts_ticks;
    fields.continuity = continuity;
    return pes_packet(fields);
}

// ---------------------------------------------------------------------------

namespace {

// The section from the table id to the CRC field, inclusive.
Bytes pat_section(const PatFields& fields) {
    const SectionTweaks& t = fields.tweaks;
    Bytes s{0x00, 0, 0};  // table id 0
    put_be16(s, fields.transport_stream_id);
    s.push_back(version_byte(fields.version));
    s.push_back(0x00);  // section number
    s.push_back(0x00);  // last section number
    for (const PatEntry& e : fields.programs) {
        put_be16(s, e.program_number);
        put_be16(s, 0xE000 | (e.pmt_pid & 0x1FFF));
    }
    finish_section(s, t);
    return s;
}

}  // namespace

Packet pat_packet(const PatFields& fields) {
    return section_packet(pat_pid, pat_section(fields), fields.continuity, fields.tweaks.pointer_field);
}

Packet pat_packet(const std::vector<PatEntry>& programs) {
    PatFields fields;
    fields.programs = programs;
    return pat_packet(fields);
}

Bytes pmt_section(const PmtFields& fields) {
    const SectionTweaks& t = fields.tweaks;
    Bytes s{0x02, 0, 0};  // table id 2
    put_be16(s, fields.program_number);
    s.push_back(version_byte(fields.version));
    s.push_back(0x00);
    s.push_back(0x00);
    put_be16(s, 0xE000 | (fields.pcr_pid & 0x1FFF));
    unsigned info = fields.program_info_length >= 0 ? static_cast<unsigned>(fields.program_info_length)
                                                  : static_cast<unsigned>(fields.program_descriptors.size());
    put_be16(s, 0xF000 | (info & 0x0FFF));
    s.insert(s.end(), fields.program_descriptors.begin(), fields.program_descriptors.end());
    for (const PmtStream& e : fields.streams) {
        s.push_back(e.type);
        put_be16(s, 0xE000 | (e.pid & 0x1FFF));
        unsigned es = e.es_info_length >= 0 ? static_cast<unsigned>(e.es_info_length)
                                            : static_cast<unsigned>(e.descriptors.size());
        put_be16(s, 0xF000 | (es & 0x0FFF));
        s.insert(s.end(), e.descriptors.begin(), e.descriptors.end());
    }
    finish_section(s, t);
    return s;
}

Packet pmt_packet(const PmtFields& fields) {
    return section_packet(fields.pid, pmt_section(fields), fields.continuity, fields.tweaks.pointer_field);
}

Packet section_packet(uint16_t pid, const Bytes& section, uint8_t continuity, uint8_t pointer_field) {
    PacketFields ps;
    ps.pid = pid;
    ps.pusi = true;
    ps.continuity = continuity;
    ps.payload.reserve(section.size() + 1);
    ps.payload.push_back(pointer_field);
    ps.payload.insert(ps.payload.end(), section.begin(), section.end());
    return make_packet(ps);
}

// ---------------------------------------------------------------------------

Packet qbx_packet(const std::string& tag, const std::string& text) {
    Packet p{};
    p[0] = 0x47;
    p[1] = 0x41;
    p[2] = 0xFF;
    p[3] = 0x00;
    for (size_t i = 0; i < 4 && i < tag.size(); ++i) p[4 + i] = static_cast<uint8_t>(tag[i]);
    size_t n = std::min(text.size(), static_cast<size_t>(packet_bytes - 13));
    std::memcpy(p.data() + 13, text.data(), n);
    return p;  // the zero behind the text is its terminator, where there is room
}

Packet qbxh_packet(const QbxhFields& f) {
    Packet p = qbx_packet("QBXH");
    p[8] = 0x68;
    p[9] = 0x01;
    put_le16(p, 16, f.program_number);
    p[20] = 0x06;
    p[21] = 0x10;
    put_le16(p, 24, f.duration_s);
    p[28] = f.start_minute;
    p[29] = f.start_hour;
    put_le16(p, 30, f.mjd);
    put_le16(p, 40, f.video_pid);
    put_le16(p, 42, f.audio_pid);
    put_le16(p, 44, f.pcr_pid);
    p[47] = 0x02;
    p[48] = 0x03;
    put_le16(p, 50, f.pmt_pid);
    p[54] = 0x02;
    for (size_t i = 0; i < 16; ++i) {
        size_t at = 56 + 4 * i;
        if (i < f.streams.size()) {
            p[at] = f.streams[i].type;
            p[at + 1] = 0x00;
            put_le16(p, at + 2, f.streams[i].pid);
        } else {
            p[at] = 0xFF;
            p[at + 1] = 0xFF;
            p[at + 2] = 0xFF;
            p[at + 3] = 0x1F;
        }
    }
    return p;
}

QbxhFields program_record(uint16_t pmt_pid, uint16_t duration_s) {
    QbxhFields f;
    f.duration_s = duration_s;
    f.video_pid = f.pcr_pid = 0x100;
    f.audio_pid = 0x101;
    f.pmt_pid = pmt_pid;
    f.streams = {{0x02, 0x100}, {0x03, 0x101}, {0xE2, pmt_pid}};
    return f;
}

uint16_t mjd_from_date(int year, int month, int day) {
    // Days since 1970-01-01 in the proleptic Gregorian calendar.
    int y = year - (month <= 2 ? 1 : 0);
    int era = (y >= 0 ? y : y - 399) / 400;
    int yoe = y - era * 400;
    int mp = (month + 9) % 12;
    int doy = (153 * mp + 2) / 5 + day - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    long days = static_cast<long>(era) * 146097 + doe - 719468;
    return static_cast<uint16_t>(days + 40587);  // MJD of 1970-01-01
}

// ---------------------------------------------------------------------------

Bytes pack(const std::vector<Packet>& packets) {
    Bytes b(packets.size() * packet_bytes);
    for (size_t i = 0; i < packets.size(); ++i)
        std::memcpy(b.data() + i * packet_bytes, packets[i].data(), packet_bytes);
    return b;
}

bool write_bytes(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

bool write_packets(const std::string& path, const std::vector<Packet>& packets) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = packets.empty() ||
              std::fwrite(packets.data(), packet_bytes, packets.size(), f) == packets.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

void insert_bytes(Bytes& bytes, uint64_t offset, size_t count, uint8_t value) {
    offset = std::min<uint64_t>(offset, bytes.size());
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(offset), count, value);
}

std::string part_name(const std::string& base, unsigned index) {
    return index == 0 ? base : base + std::to_string(index);
}

// ---------------------------------------------------------------------------

StreamRecipe video_stream(uint16_t pid, unsigned pes_interval_ms) {
    StreamRecipe s;
    s.pid = pid;
    s.type = 0x02;
    s.stream_id = video_stream_id;
    s.pes_interval_ms = pes_interval_ms;
    s.weight = 12;
    return s;
}

StreamRecipe audio_stream(uint16_t pid, unsigned pes_interval_ms) {
    StreamRecipe s;
    s.pid = pid;
    s.type = 0x03;
    s.stream_id = audio_stream_id;
    s.pes_interval_ms = pes_interval_ms;
    s.weight = 1;
    return s;
}

Recipe receiver_recipe(const ReceiverFields& f) {
    constexpr uint16_t pmt_pid = 0x64, video_pid = 0x100, audio_pid = 0x101;
    const uint16_t program_number = f.program_number;
    Recipe r;
    r.streams = {video_stream(video_pid, 40), audio_stream(audio_pid, 24)};
    r.streams[0].type = f.video_type;
    r.pcr_pid = video_pid;
    r.pcr_interval_ms = 40;
    r.bitrate_bps = bitrate_for_packets_per_ms(f.packets_per_ms);
    r.null_per_mille = 20;

    QbxhFields q;
    q.program_number = program_number;
    q.duration_s = f.duration_s;
    q.mjd = f.mjd;
    q.start_hour = f.start_hour;
    q.start_minute = f.start_minute;
    q.video_pid = video_pid;
    q.audio_pid = audio_pid;
    q.pcr_pid = video_pid;
    q.pmt_pid = f.record_pmt_pid;
    q.streams = {{f.video_type, video_pid}, {0x03, audio_pid}, {0xE2, pmt_pid}};

    Packet pat = pat_packet({{program_number, pmt_pid}});
    Packet pmt = pmt_packet(pmt_for(r, pmt_pid, program_number));
    r.head = {qbxh_packet(q), qbx_packet("EVNT", f.event), qbx_packet("SHRT", f.short_text),
              qbx_packet("CHNM", f.channel), pat, pmt};
    r.repeated = {pat, pmt};
    r.repeat_interval_ms = 100;
    return r;
}

Recipe dated_receiver_recipe(const std::string& channel, uint16_t duration_s, uint64_t body_packets) {
    ReceiverFields f;
    f.duration_s = duration_s;
    f.mjd = mjd_from_date(2026, 11, 28);
    f.start_hour = 20;
    f.channel = channel;
    Recipe r = receiver_recipe(f);
    r.body_packets = body_packets;
    return r;
}

Recipe tables_recipe(std::vector<Packet> head, uint64_t body_packets, uint16_t pcr_pid) {
    Recipe r;
    r.pcr_pid = pcr_pid;
    r.head = std::move(head);
    r.head.push_back(pat_packet({{1, 0x64}}));
    r.head.push_back(pmt_packet(pmt_for(r)));
    r.body_packets = body_packets;
    return r;
}

PmtFields pmt_for(const Recipe& recipe, uint16_t pmt_pid, uint16_t program_number) {
    PmtFields fields;
    fields.pid = pmt_pid;
    fields.program_number = program_number;
    fields.pcr_pid = recipe.pcr_pid;
    for (const StreamRecipe& s : recipe.streams) {
        PmtStream e;
        e.type = s.type;
        e.pid = s.pid;
        fields.streams.push_back(e);
    }
    return fields;
}

namespace {

// Body slot time in 90 kHz ticks.
uint64_t slot_ticks(const Recipe& r, uint64_t slot) {
    uint64_t rate = r.bitrate_bps ? r.bitrate_bps : bitrate_for_packets_per_ms(1);
    return slot * (packet_bytes * 8 * 90000ull) / rate;
}

uint64_t next_multiple(uint64_t t, uint64_t step) { return (t + step - 1) / step * step; }

// PTS offset within a PES start packet, 0 when it has none.
size_t pts_offset(const Packet& p) {
    size_t o = (p[3] & 0x20) ? 5 + p[4] : 4;
    return (o + 9 < packet_bytes && (p[o + 7] & 0x80)) ? o + 9 : 0;
}

void put_pts(Packet& p, uint64_t pts) {
    size_t at = pts_offset(p);
    if (at == 0) return;
    auto b = pts_bytes(pts);
    std::copy(b.begin(), b.end(), p.begin() + static_cast<std::ptrdiff_t>(at));
}

void put_pcr(Packet& p, uint64_t base) {
    auto b = pcr_bytes(base);
    std::copy(b.begin(), b.end(), p.begin() + 6);
}

void set_continuity(RecordingStream& st, Packet& p) {
    if (!(p[3] & 0x30)) return;  // the receiver's own packets keep theirs
    uint8_t& cc = st.continuity[packet_pid_of(p)];
    if (p[3] & 0x10) {
        p[3] = static_cast<uint8_t>((p[3] & 0xF0) | cc);
        cc = (cc + 1) & 0x0F;
    } else {
        p[3] = static_cast<uint8_t>((p[3] & 0xF0) | ((cc + 15) & 0x0F));
    }
}

void make_body_packet(RecordingStream& st, Packet& out) {
    const Recipe& r = *st.recipe;
    uint64_t t = slot_ticks(r, st.slot);

    if (r.pcr_interval_ms) {
        uint64_t step = r.pcr_interval_ms * ticks_per_ms;
        if (t >= st.next_pcr_due) {
            st.pcr_pending = true;
            st.next_pcr_due = (t / step + 1) * step;
        }
    }
    if (r.repeat_interval_ms && !r.repeated.empty()) {
        uint64_t step = r.repeat_interval_ms * ticks_per_ms;
        if (t >= st.next_repeat_due) {
            st.repeat_left = r.repeated.size();
            st.repeat_pos = 0;
            st.next_repeat_due = (t / step + 1) * step;
        }
    }
    for (size_t i = 0; i < st.clocks.size(); ++i) {
        const StreamRecipe& s = r.streams[i];
        if (!s.pes_interval_ms) continue;
        RecordingStream::Clock& c = st.clocks[i];
        uint64_t step = s.pes_interval_ms * ticks_per_ms;
        if (t >= c.next_due) {
            c.pending = true;
            c.pending_pts = s.pts_start.value_or(r.pts_start) + t / step * step;
            c.next_due = (t / step + 1) * step;
        }
    }
    st.null_owed += r.null_per_mille;
    ++st.slot;

    if (st.pcr_pending) {
        st.pcr_pending = false;
        uint64_t pcr = r.pcr_start + t;
        if (st.pcr_stream >= 0) {
            RecordingStream::Clock& c = st.clocks[static_cast<size_t>(st.pcr_stream)];
            if (c.pending) {
                out = c.start_pcr;
                put_pts(out, c.pending_pts);
                c.pending = false;
            } else {
                out = c.data_pcr;
            }
        } else {
            PacketFields ps;
            ps.pid = r.pcr_pid;
            ps.layout = Layout::adaptation_only;
            ps.with_pcr = true;
            out = make_packet(ps);
        }
        put_pcr(out, pcr);
        set_continuity(st, out);
        return;
    }
    if (st.repeat_left) {
        out = r.repeated[st.repeat_pos++];
        --st.repeat_left;
        set_continuity(st, out);
        return;
    }
    for (RecordingStream::Clock& c : st.clocks) {
        if (c.pending) {
            out = c.start;
            put_pts(out, c.pending_pts);
            c.pending = false;
            set_continuity(st, out);
            return;
        }
    }
    if (st.null_owed >= 1000 || st.clocks.empty()) {
        if (st.null_owed >= 1000) st.null_owed -= 1000;
        out = null_packet();
        return;
    }
    // Smooth weighted round robin over the streams.
    int64_t total = 0;
    size_t best = 0;
    for (size_t i = 0; i < st.clocks.size(); ++i) {
        RecordingStream::Clock& c = st.clocks[i];
        c.share += r.streams[i].weight;
        total += r.streams[i].weight;
        if (c.share > st.clocks[best].share) best = i;
    }
    if (total == 0) {
        out = null_packet();
        return;
    }
    st.clocks[best].share -= total;
    out = st.clocks[best].data;
    set_continuity(st, out);
}

void make_next_packet(RecordingStream& st, Packet& out) {
    const Recipe& r = *st.recipe;
    if (st.index < r.head.size()) {
        out = r.head[st.index];
        // The body's counters continue those of the head.
        if ((out[3] & 0x10) && out[0] == 0x47)
            st.continuity[packet_pid_of(out)] = static_cast<uint8_t>((out[3] + 1) & 0x0F);
    } else
        make_body_packet(st, out);
    uint64_t begin = st.index * packet_bytes;
    uint64_t end = begin + packet_bytes;
    while (st.next_damage < st.damage.size() && st.damage[st.next_damage] < end) {
        uint64_t at = st.damage[st.next_damage++];
        if (at >= begin) out[at - begin] = 0x00;
    }
    ++st.index;
}

}  // namespace

RecordingStream open_recording(const Recipe& recipe, uint64_t first_slot) {
    RecordingStream st;
    st.recipe = &recipe;
    st.index = first_slot == 0 ? 0 : recipe.head.size() + first_slot;
    st.end = recipe.head.size() + recipe.body_packets;
    st.slot = first_slot;
    st.damage = recipe.sync_damage;
    std::sort(st.damage.begin(), st.damage.end());

    uint64_t t = slot_ticks(recipe, first_slot);
    if (recipe.pcr_interval_ms)
        st.next_pcr_due = next_multiple(t, recipe.pcr_interval_ms * ticks_per_ms);
    if (recipe.repeat_interval_ms)
        st.next_repeat_due = next_multiple(t, recipe.repeat_interval_ms * ticks_per_ms);

    st.clocks.resize(recipe.streams.size());
    for (size_t i = 0; i < recipe.streams.size(); ++i) {
        const StreamRecipe& s = recipe.streams[i];
        RecordingStream::Clock& c = st.clocks[i];
        if (s.pes_interval_ms) c.next_due = next_multiple(t, s.pes_interval_ms * ticks_per_ms);
        PesFields pes;
        pes.pid = s.pid;
        pes.stream_id = s.stream_id;
        pes.with_pts = s.with_pts;
        c.start = pes_packet(pes);
        pes.with_pcr = true;
        c.start_pcr = pes_packet(pes);
        PacketFields data;
        data.pid = s.pid;
        c.data = make_packet(data);
        data.layout = Layout::adaptation_and_payload;
        data.with_pcr = true;
        c.data_pcr = make_packet(data);
        if (st.pcr_stream < 0 && s.pid == recipe.pcr_pid) st.pcr_stream = static_cast<int>(i);
    }
    return st;
}

namespace {

// Up to max packets into out; returns how many (0 at the end).
size_t read_packets(RecordingStream& st, Packet* out, size_t max) {
    uint64_t left = st.end > st.index ? st.end - st.index : 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, max));
    for (size_t i = 0; i < n; ++i) make_next_packet(st, out[i]);
    return n;
}

// The first bytes of the packet that would follow the end (trailing_bytes).
Packet packet_after_end(RecordingStream& st) {
    Packet p;
    make_next_packet(st, p);
    return p;
}

}  // namespace

std::vector<Packet> make_recording(const Recipe& recipe) {
    RecordingStream st = open_recording(recipe);
    std::vector<Packet> packets(static_cast<size_t>(st.end));
    read_packets(st, packets.data(), packets.size());
    return packets;
}

Bytes recording_bytes(const Recipe& recipe) {
    RecordingStream st = open_recording(recipe);
    std::vector<Packet> packets(static_cast<size_t>(st.end));
    read_packets(st, packets.data(), packets.size());
    Bytes bytes = pack(packets);
    unsigned tail = std::min(recipe.trailing_bytes, packet_bytes - 1);
    if (tail) {
        Packet p = packet_after_end(st);
        bytes.insert(bytes.end(), p.begin(), p.begin() + tail);
    }
    return bytes;
}

namespace {

bool write_all(FILE* f, const void* data, size_t bytes) {
    return bytes == 0 || std::fwrite(data, 1, bytes, f) == bytes;
}

WriteResult failed(WriteResult result, const std::string& what, const std::string& path) {
    result.ok = false;
    result.error = what + " '" + path + "'";
    return result;
}

}  // namespace

WriteResult write_recording(const Recipe& recipe, const std::string& path) {
    WriteResult result;
    RecordingStream st = open_recording(recipe);
    constexpr size_t block = 4096;
    std::vector<Packet> buffer(block);

    unsigned part = 0;
    std::string name = part_name(path, part);
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return failed(result, "Can't create", name);
    result.files.push_back(name);
    uint64_t in_part = 0;

    for (;;) {
        size_t want = block;
        if (recipe.part_packets) want = static_cast<size_t>(std::min<uint64_t>(want, recipe.part_packets - in_part));
        size_t n = read_packets(st, buffer.data(), want);
        if (n == 0) break;
        if (!write_all(f, buffer.data(), n * packet_bytes)) {
            std::fclose(f);
            return failed(result, "Can't write", name);
        }
        result.packets += n;
        result.bytes += n * packet_bytes;
        in_part += n;
        if (recipe.part_packets && in_part == recipe.part_packets && st.index < st.end) {
            if (std::fclose(f) != 0) return failed(result, "Can't write", name);
            name = part_name(path, ++part);
            f = std::fopen(name.c_str(), "wb");
            if (!f) return failed(result, "Can't create", name);
            result.files.push_back(name);
            in_part = 0;
        }
    }
    unsigned tail = std::min(recipe.trailing_bytes, packet_bytes - 1);
    if (tail) {
        Packet p = packet_after_end(st);
        if (!write_all(f, p.data(), tail)) {
            std::fclose(f);
            return failed(result, "Can't write", name);
        }
        result.bytes += tail;
    }
    if (std::fclose(f) != 0) return failed(result, "Can't write", name);
    result.ok = true;
    return result;
}

namespace {

// A sparse file of total_size bytes: head at offset 0, tail ending at
// total_size, a hole (zeros) in between.
WriteResult write_sparse(const std::string& path, uint64_t total_size, const std::vector<Packet>& head,
                         const std::vector<Packet>& tail) {
    WriteResult result;
    uint64_t head_bytes = head.size() * packet_bytes;
    uint64_t tail_bytes = tail.size() * packet_bytes;
    if (head_bytes + tail_bytes > total_size) return failed(result, "Head and tail exceed the size of", path);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return failed(result, "Can't create", path);
    result.files.push_back(path);
    bool ok = write_all(f, head.data(), head_bytes) && std::fflush(f) == 0 &&
              ftruncate(fileno(f), static_cast<off_t>(total_size)) == 0 &&
              fseeko(f, static_cast<off_t>(total_size - tail_bytes), SEEK_SET) == 0 &&
              write_all(f, tail.data(), tail_bytes);
    ok = std::fclose(f) == 0 && ok;
    if (!ok) return failed(result, "Can't write", path);
    result.ok = true;
    result.packets = head.size() + tail.size();
    result.bytes = total_size;
    return result;
}

}  // namespace

WriteResult write_sparse_recording(const Recipe& recipe, const std::string& path, uint64_t total_size,
                                   uint64_t head_packets, uint64_t tail_packets) {
    WriteResult result;
    uint64_t packets = total_size / packet_bytes;
    if (packets < recipe.head.size()) return failed(result, "Head packets exceed the size of", path);
    Recipe full = recipe;
    full.body_packets = packets - recipe.head.size();
    full.sync_damage.clear();
    full.part_packets = 0;
    head_packets = std::min(head_packets, full.body_packets);
    tail_packets = std::min(tail_packets, full.body_packets - head_packets);

    std::vector<Packet> head(static_cast<size_t>(recipe.head.size() + head_packets));
    RecordingStream front = open_recording(full);
    read_packets(front, head.data(), head.size());

    std::vector<Packet> tail(static_cast<size_t>(tail_packets));
    RecordingStream back = open_recording(full, full.body_packets - tail_packets);
    read_packets(back, tail.data(), tail.size());

    uint64_t tail_start = total_size - tail_packets * packet_bytes;
    for (uint64_t at : recipe.sync_damage) {
        if (at < head.size() * packet_bytes)
            head[at / packet_bytes][at % packet_bytes] = 0x00;
        else if (at >= tail_start && at < total_size)
            tail[(at - tail_start) / packet_bytes][(at - tail_start) % packet_bytes] = 0x00;
    }
    return write_sparse(path, total_size, head, tail);
}

}  // namespace varnek::build
