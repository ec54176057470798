// The repairs' messages: printed as they always were, and noted in the
// scan's state for the JSON object.
#pragma once

#include "analysis/scan_state.h"
#include "repair/session.h"
#include "util/run_options.h"

namespace varnek {

// Prints a message line of a repair on the console's out.
void repair_say(RepairSession& session, const char* action, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// A line that announces a write: with -dry it begins "Would: ".
void repair_announce(RepairSession& session, const RunOptions& options, const char* action, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Prints a repair's error line ("Error: ...!") on the console's err.
void repair_fail(RepairSession& session, const char* action, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace varnek
