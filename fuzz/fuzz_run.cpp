// Fuzz target: the whole program on a recording made of the input. The
// input is written as rec.ts, optionally split into rec.ts and rec.ts1, and
// the tool runs twice on it: once reporting every packet with hex dumps, and
// once, on a fresh copy, repairing the head and copying the first packet out.
//
// Byte 0: bits 0..6 the split (0: one file; else rec.ts takes that many
// 128ths of the rest), bit 7 adds -force to the repairing run. Byte 1 on:
// the recording's bytes, at most max_recording of them.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/run.h"
#include "fuzz_common.h"
#include "platform/platform.h"
#include "ts/packet.h"

namespace {

constexpr size_t max_recording = 3 * 1000 * varnek::packet_size + 3 * varnek::packet_size;

std::string work_dir, undo_dir;
std::string rec_path, part_path, get_path;

// The repairs' undo files go into the work folder, and each input's go.
void clear_undo_dir() {
    std::vector<std::string> names;
    varnek::list_dir(undo_dir, names);
    for (const std::string& name : names) std::remove((undo_dir + "/" + name).c_str());
}

void remove_work_dir() {
    std::remove(rec_path.c_str());
    std::remove(part_path.c_str());
    std::remove(get_path.c_str());
    clear_undo_dir();
    rmdir(undo_dir.c_str());
    rmdir(work_dir.c_str());
}

bool write_file(const std::string& path, const uint8_t* bytes, size_t count) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = count == 0 || std::fwrite(bytes, 1, count, f) == count;
    return std::fclose(f) == 0 && ok;
}

void write_recording(const uint8_t* data, size_t size, size_t split) {
    std::remove(get_path.c_str());
    std::remove(part_path.c_str());
    if (!write_file(rec_path, data, split)) std::abort();
    if (split < size && !write_file(part_path, data + split, size - split)) std::abort();
}

int run_tool(std::initializer_list<const char*> args) {
    std::string copies[8];
    char* argv[9];
    int argc = 0;
    for (const char* a : args) {
        copies[argc] = a;
        argv[argc] = copies[argc].data();
        ++argc;
    }
    argv[argc] = nullptr;
    return varnek::run(argc, argv);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    varnek::fuzz::quiet_console();
    work_dir = varnek::fuzz::make_work_dir();
    rec_path = work_dir + "/rec.ts";
    part_path = work_dir + "/rec.ts1";
    get_path = work_dir + "/h.bin";
    undo_dir = work_dir + "/undo";
    setenv("VARNEK_UNDO_DIR", undo_dir.c_str(), 1);
    std::atexit(remove_work_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t select = data[0];
    ++data;
    --size;
    if (size > max_recording) size = max_recording;
    const unsigned share = select & 0x7F;
    const size_t split = share == 0 ? size : size_t(uint64_t(size) * share / 128);
    const bool force = (select & 0x80) != 0;

    write_recording(data, size, split);
    run_tool({"varnek", "-all", "-hex", rec_path.c_str()});

    write_recording(data, size, split);
    const std::string get_arg = "-get:" + get_path;
    if (force)
        run_tool({"varnek", "-fixqbx", "-fixpat", "-force", get_arg.c_str(), rec_path.c_str()});
    else
        run_tool({"varnek", "-fixqbx", "-fixpat", get_arg.c_str(), rec_path.c_str()});
    clear_undo_dir();
    return 0;
}
