// Captures what the tool prints in-process: while a ConsoleCapture lives,
// console().out and console().err write into temporary files.
#pragma once

#include <cstdio>
#include <string>

#include "util/output.h"

namespace varnek::test {

class ConsoleCapture {
public:
    ConsoleCapture() : saved_(console()), out_(std::tmpfile()), err_(std::tmpfile()) {
        console().out = out_;
        console().err = err_;
    }
    ~ConsoleCapture() {
        console() = saved_;
        std::fclose(out_);
        std::fclose(err_);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything printed so far on each stream.
    std::string out() const { return contents(out_); }
    std::string err() const { return contents(err_); }

private:
    static std::string contents(std::FILE* f) {
        std::fflush(f);
        long end = std::ftell(f);
        std::string text(static_cast<size_t>(end > 0 ? end : 0), '\0');
        std::rewind(f);
        size_t got = std::fread(text.data(), 1, text.size(), f);
        text.resize(got);
        std::fseek(f, 0, SEEK_END);
        return text;
    }
    Console saved_;
    std::FILE* out_;
    std::FILE* err_;
};

}  // namespace varnek::test
