#include "util/output.h"

#include <cstdarg>

#include "util/text.h"

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

std::string shown_text(const std::string& text, std::FILE* stream) {
    Console& c = console();
    bool terminal = (stream == c.out && c.out_is_terminal) || (stream == c.err && c.err_is_terminal);
    return terminal ? shown(utf8_text(text), stream) : text;
}

namespace {

// Characters of a UTF-8 text, each taken as one column.
size_t columns(const std::string& text) {
    size_t count = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    return count;
}

}  // namespace

void show_status(const std::string& text) {
    Console& c = console();
    // A line left open stays on the screen: the status goes below it.
    if (c.err_line_open) std::fputc('\n', c.err);
    c.err_line_open = false;
    // Back to the line's start; blanks over what the old text had more.
    const size_t width = columns(text);
    std::string line = "\r" + text;
    if (c.status_width > width) line += std::string(c.status_width - width, ' ') + "\r" + text;
    std::fputs(line.c_str(), c.err);
    std::fflush(c.err);
    c.status_width = width == 0 ? 1 : width;
}

void clear_status() {
    Console& c = console();
    if (c.status_width == 0) return;
    std::fputs(("\r" + std::string(c.status_width, ' ') + "\r").c_str(), c.err);
    std::fflush(c.err);
    c.status_width = 0;
}

void begin_err_line() {
    Console& c = console();
    clear_status();
    if (c.err_line_open) std::fputc('\n', c.err);
    c.err_line_open = false;
}

void progress_marker(const char* text) {
    Console& c = console();
    std::fputs(text, c.out);
    if (!c.out_discarded) std::fflush(c.out);
}

void progress_marker(const RunOptions& options, const char* text) {
    if (options.progress) progress_marker(text);
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
    begin_err_line();
    std::fputs("Error: ", err);
    std::fputs(shown(message, err).c_str(), err);
    std::fputs("!\n", err);
    std::fflush(err);
    ++console().error_lines;
}

}  // namespace varnek
