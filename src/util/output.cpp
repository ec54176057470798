#include "util/output.h"

#include <cstdarg>

namespace varnek {

Console& console() {
    static Console streams{stdout, stderr};
    return streams;
}

std::string shown(const std::string& text, std::FILE* stream) {
    Console& c = console();
    bool terminal = (stream == c.out && c.out_is_terminal) || (stream == c.err && c.err_is_terminal);
    if (!terminal) return text;
    std::string safe = text;
    for (size_t i = 0; i < safe.size(); ++i) {
        unsigned char ch = static_cast<unsigned char>(safe[i]);
        if (ch < 0x20 || ch == 0x7F) safe[i] = '?';
        // C1 controls written as UTF-8 (U+0080..U+009F) steer terminals too.
        if (ch == 0xC2 && i + 1 < safe.size() && static_cast<unsigned char>(safe[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(safe[i + 1]) <= 0x9F) {
            safe.replace(i, 2, "?");
        }
    }
    return safe;
}

void progress_marker(const char* text) {
    Console& c = console();
    std::fputs(text, c.out);
    if (!c.out_discarded) std::fflush(c.out);
}

const char* format_ms(uint32_t ms) {
    static char text[16];
    if (ms == 0) return "no PTS";
    uint32_t s = ms / 1000;
    uint32_t m = s / 60;
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", m / 60, m % 60, s - m * 60, ms % 1000);
    return text;
}

const char* format_hms(uint32_t seconds) {
    // Wide enough for any 32-bit count, although durations are 16-bit.
    static char text[24];
    uint32_t m = seconds / 60;
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", m / 60, m % 60, seconds - m * 60);
    return text;
}

const char* stream_type_name(uint8_t type) {
    switch (type) {
        case 0x02: return "Video Mpeg2";
        case 0x03:
        case 0x04: return "Audio Mpeg1";
        case 0x06:
        case 0xE3: return "Teletext";
        case 0x1B: return "Video H264";
        case 0x81:
        case 0xE0: return "Audio AC3";
        case 0xE2: return "PMT";
        default: return "unknown";
    }
}

void hex_dump(const uint8_t* packet) {
    std::FILE* out = console().out;
    for (unsigned o = 0; o < 188; o += 16) {
        std::fprintf(out, " %02X:", o);
        unsigned end = o + 15 < 187 ? o + 15 : 187;
        for (unsigned i = o; i <= end; ++i) std::fprintf(out, " %02X", packet[i]);
        std::fputs("\n", out);
    }
}

std::string format_text(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) return std::string();
    std::string text(size_t(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(size_t(length));
    return text;
}

void report_error(const char* format, ...) {
    std::FILE* err = console().err;
    va_list args;
    va_start(args, format);
    std::string message = format_text(format, args);
    va_end(args);
    std::fputs("Error: ", err);
    std::fputs(shown(message, err).c_str(), err);
    std::fputs("!\n", err);
    std::fflush(err);
    ++console().error_lines;
}

}  // namespace varnek
