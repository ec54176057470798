#include "repair/repair_log.h"

#include <cstdarg>
#include <cstdio>

#include "util/output.h"

namespace varnek {

namespace {

void say(RepairSession& session, const char* action, const std::string& text) {
    std::fprintf(console().out, "%s\n", shown(text, console().out).c_str());
    session.repair_notes.push_back(RepairNote{action, true, text});
}

}  // namespace

void repair_say(RepairSession& session, const char* action, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_text(format, args);
    va_end(args);
    say(session, action, text);
}

void repair_announce(RepairSession& session, const RunOptions& options, const char* action, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_text(format, args);
    va_end(args);
    say(session, action, options.dry ? "Would: " + text : text);
}

void repair_fail(RepairSession& session, const char* action, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_text(format, args);
    va_end(args);
    report_error("%s", text.c_str());
    session.repair_notes.push_back(RepairNote{action, false, text});
}

}  // namespace varnek
