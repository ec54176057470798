// Shared set-up of the fuzz targets: a fixed time zone, so that dates print
// the same on every machine, and the console pointed at /dev/null.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "util/output.h"

namespace varnek::fuzz {

inline void quiet_console() {
    setenv("TZ", "UTC", 1);
    tzset();
    static std::FILE* sink = std::fopen("/dev/null", "w");
    if (!sink) {
        std::fprintf(stderr, "cannot open /dev/null\n");
        std::abort();
    }
    console().out = sink;
    console().err = sink;
}

}  // namespace varnek::fuzz
