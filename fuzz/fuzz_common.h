// Shared set-up of the fuzz targets: a fixed time zone, so that dates print
// the same on every machine, and the console pointed at /dev/null.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

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

// A fresh folder of the target's own under $TMPDIR (else /tmp), so that
// nothing it writes lands anywhere else.
inline std::string make_work_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/varnek-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern;
}

}  // namespace varnek::fuzz
