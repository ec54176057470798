#include "util/text.h"

#include <cstdint>

namespace varnek {

namespace {

// Length of the valid UTF-8 sequence at text[at], 0 when none starts there
// (overlong forms, surrogates and values beyond U+10FFFF are not valid).
size_t utf8_sequence(const std::string& text, size_t at) {
    const uint8_t c = uint8_t(text[at]);
    if (c < 0x80) return 1;
    size_t length;
    uint32_t value, min;
    if ((c & 0xE0) == 0xC0) length = 2, value = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0) length = 3, value = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0) length = 4, value = c & 0x07, min = 0x10000;
    else return 0;
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const uint8_t next = uint8_t(text[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::string utf8_text(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        size_t length = utf8_sequence(text, at);
        if (length != 0) {
            out.append(text, at, length);
            at += length;
            continue;
        }
        const uint8_t c = uint8_t(text[at++]);
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    }
    return out;
}

namespace {

// The bytes of the character at text[at]: a lead byte and the continuation
// bytes behind it.
size_t character_bytes(const std::string& text, size_t at) {
    size_t end = at + 1;
    if (uint8_t(text[at]) >= 0xC0)
        while (end < text.size() && (uint8_t(text[end]) & 0xC0) == 0x80) ++end;
    return end - at;
}

}  // namespace

bool wildcard_match(const std::string& pattern, const std::string& name) {
    if (!name.empty() && name[0] == '.' && (pattern.empty() || pattern[0] != '.')) return false;
    // One star at a time: on a mismatch the latest star takes one more
    // character and the rest is tried again.
    size_t p = 0, n = 0;
    size_t star = std::string::npos, star_name = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = ++p;
            star_name = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n += character_bytes(name, n);
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (star != std::string::npos) {
            p = star;
            star_name += character_bytes(name, star_name);
            n = star_name;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace varnek
