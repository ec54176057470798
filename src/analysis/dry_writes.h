// -dry: what the run would have written so far, so that its later steps
// (the scan of a recording named again, -put:'s read of a file an earlier
// -get: would write) see the files as the real run would leave them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace varnek {

struct DryPatch {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};

// The writes into one file in place, in the order made.
struct DryFile {
    FileId id;
    std::vector<DryPatch> patches;
};

struct DryWrites {
    std::vector<DryFile> updated;                         // by the file's identity
    std::map<std::string, std::vector<uint8_t>> whole;    // written whole (-get:), by resolved path
};

void note_dry_update(DryWrites& writes, const FileId& id, uint64_t offset, const uint8_t* bytes, size_t count);
// The writes into the file; null when there are none (or no record is kept).
const DryFile* dry_updates_of(const DryWrites* writes, const FileId& id);
void note_dry_whole(DryWrites& writes, const std::string& resolved, const uint8_t* bytes, size_t count);
// The content of a file written whole; null when none was.
const std::vector<uint8_t>* dry_whole_file(const DryWrites* writes, const std::string& resolved);
// Lays the writes over count bytes read at offset.
void lay_over(const DryFile& file, uint64_t offset, uint8_t* buffer, size_t count);

}  // namespace varnek
