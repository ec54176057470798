#include "ts/qbx.h"

#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace varnek {

bool tag_is(const uint8_t* p, const char (&tag)[5]) { return std::memcmp(p + 4, tag, 4) == 0; }

unsigned qbx_text_length(const uint8_t* p) {
    unsigned n = 0;
    while (qbx_text_offset + n < packet_size && p[qbx_text_offset + n] != 0) ++n;
    return n;
}

std::string qbx_text(const uint8_t* p) {
    const uint8_t* text = p + qbx_text_offset;
    return std::string(text, text + qbx_text_length(p));
}

uint16_t qbxh_u16(const uint8_t* r, unsigned offset) {
    return static_cast<uint16_t>(r[offset] | (r[offset + 1] << 8));
}

void qbxh_put_u16(uint8_t* r, unsigned offset, uint16_t value) {
    r[offset] = static_cast<uint8_t>(value & 0xFF);
    r[offset + 1] = static_cast<uint8_t>(value >> 8);
}

int64_t recording_start_time(const uint8_t* r) {
    // Days since 2009-01-01: MJD 54832 is that day, and the 16-bit count wraps there.
    int64_t days = (int64_t(qbxh_start_mjd(r)) + 10704) % 65536;
    std::tm fields{};
    fields.tm_year = 2009 - 1900;
    fields.tm_mon = 0;
    fields.tm_mday = static_cast<int>(1 + days);
    fields.tm_hour = qbxh_start_hour(r);
    fields.tm_min = qbxh_start_minute(r);
    fields.tm_sec = 0;
    fields.tm_isdst = -1;  // the zone's rules decide, as for the date itself
    return make_local_time(fields);
}

}  // namespace varnek
