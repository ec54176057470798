#include "repair/times_keeper.h"

#include <cstring>

namespace varnek {

TimesKeeper& times_keeper() {
    static TimesKeeper keeper;
    return keeper;
}

std::FILE* open_file(const char* path, const char* mode) {
    TimesKeeper& keeper = times_keeper();
    keeper.path.reset();
    FileTimes times;
    if (std::strcmp(mode, "r+b") == 0 && get_file_times(path, times)) {
        keeper.path = path;
        keeper.times = times;
    }
    std::FILE* file = std::fopen(path, mode);
    // Nothing was changed, so there is nothing to restore later.
    if (!file) keeper.path.reset();
    return file;
}

bool close_file(std::FILE* file) {
    bool closed = std::fclose(file) == 0;
    TimesKeeper& keeper = times_keeper();
    if (keeper.path) {
        (void)set_file_times(keeper.path->c_str(), keeper.times);
        keeper.path.reset();
    }
    return closed;
}

bool write_at(std::FILE* file, uint64_t offset, const uint8_t* bytes, size_t count) {
    // A write cut short by the file-size limit would leave half a packet behind.
    if (!write_allowed_up_to(offset + count)) return false;
    if (!seek_file(file, int64_t(offset), SEEK_SET)) return false;
    if (std::fwrite(bytes, 1, count, file) != count) return false;
    return std::fflush(file) == 0;
}

}  // namespace varnek
