#include "repair/repair_log.h"

#include <cstdarg>
#include <cstdio>

#include "util/output.h"

namespace varnek {

namespace {

// Every message of a repair passes here once formatted: a line on out, or
// an error line on err, and a note for the JSON object either way.
void note(RepairSession& session, const char* action, bool ok, const char* prefix, const char* format,
          va_list args) {
    const std::string text = prefix + format_text(format, args);
    if (ok)
        std::fprintf(console().out, "%s\n", shown(text, console().out).c_str());
    else
        report_error("%s", text.c_str());
    session.repair_notes.push_back(RepairNote{action, ok, text});
}

}  // namespace

void repair_say(RepairSession& session, const char* action, const char* format, ...) {
    va_list args;
    va_start(args, format);
    note(session, action, true, "", format, args);
    va_end(args);
}

void repair_announce(RepairSession& session, const RunOptions& options, const char* action, const char* format, ...) {
    va_list args;
    va_start(args, format);
    note(session, action, true, options.dry ? "Would: " : "", format, args);
    va_end(args);
}

void repair_fail(RepairSession& session, const char* action, const char* format, ...) {
    va_list args;
    va_start(args, format);
    note(session, action, false, "", format, args);
    va_end(args);
}

}  // namespace varnek
