// Updates in place keep the file's access and modification times: the times
// are noted when the file is opened for update and put back after closing.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace varnek {

struct TimesKeeper {
    std::optional<std::string> path;  // none: nothing to restore
    FileTimes times;
};

TimesKeeper& times_keeper();

// Opens path in mode; for "r+b" the times are remembered first (when the
// file's status can be read).
std::FILE* open_file(const char* path, const char* mode);

// Closes the file, then restores the remembered times, if any. Returns
// false when the close itself failed.
bool close_file(std::FILE* file);

// Writes count bytes at offset and makes sure they left the stream's
// buffer; true only when all of them did.
bool write_at(std::FILE* file, uint64_t offset, const uint8_t* bytes, size_t count);

}  // namespace varnek
