#include "repair/repair_log.h"

#include <cstdarg>
#include <cstdio>

#include "util/output.h"

namespace varnek {

namespace {

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

}  // namespace

void repair_say(ScanState& state, const char* action, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_text(format, args);
    va_end(args);
    std::fprintf(console().out, "%s\n", shown(text, console().out).c_str());
    state.repair_notes.push_back(RepairNote{action, true, text});
}

void repair_announce(ScanState& state, const RunOptions& options, const char* action, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_text(format, args);
    va_end(args);
    if (options.dry) text = "Would: " + text;
    std::fprintf(console().out, "%s\n", shown(text, console().out).c_str());
    state.repair_notes.push_back(RepairNote{action, true, text});
}

void repair_fail(ScanState& state, const char* action, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_text(format, args);
    va_end(args);
    report_error("%s", text.c_str());
    state.repair_notes.push_back(RepairNote{action, false, text});
}

}  // namespace varnek
