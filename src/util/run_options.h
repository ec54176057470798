// The parsed command line, read by every layer; filled by the cli alone.
#pragma once

namespace varnek {

struct RunOptions {
    bool progress = true;            // progress markers and the scan's verbose lines
    const char* prn_tag = nullptr;   // -prn:<tag>
    const char* get_file = nullptr;  // -get:<file>
    const char* put_file = nullptr;  // -put:<file>
    bool fix_header = false;         // -fixqbx
    bool fix_pat = false;            // -fixpat
    bool all_packets = false;        // -all
    bool hex = false;                // -hex
    bool force = false;              // -force
    bool list = false;               // -list
    bool undo = false;               // -undo: take back the latest repair of each recording
    bool dry = false;                // -dry: repairs tell what they would write, and write nothing
    bool check = false;              // -check: read everything, report damage, exit 0/1/2
    bool json = false;               // -json: one JSON object per recording, nothing else on out
    const char* salvage_file = nullptr;  // -salvage:<file>: a clean copy of the recording
};

}  // namespace varnek
