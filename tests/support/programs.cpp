// Test support; see programs.h. Starting a program is the runner's.
#include "programs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

namespace varnek::test {

namespace {

std::string env_name(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// TZ=UTC and the tests' undo folder unless env names them itself, then env.
std::vector<std::string> tool_env(const std::vector<std::string>& env) {
    std::vector<std::string> all = {"TZ=UTC", "VARNEK_UNDO_DIR=" + test_undo_dir()};
    for (const std::string& e : env)
        all.erase(std::remove_if(all.begin(), all.end(), [&](const std::string& a) { return env_name(a) == env_name(e); }),
                  all.end());
    all.insert(all.end(), env.begin(), env.end());
    return all;
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workdir, const std::vector<std::string>& env) {
    RunRequest request;
    request.program = program;
    request.args = args;
    request.workdir = workdir;
    request.env = env;
    return run_program(request);
}

std::string varnek_binary() {
#ifdef VARNEK_BINARY
    return VARNEK_BINARY;
#else
    const char* path = std::getenv("VARNEK_BINARY");
    return path ? path : "varnek";
#endif
}

std::string test_undo_dir() {
    // One folder for the undo files of all the tool's runs in this test
    // process, open to the user nobody too; removed with the process.
    static TempDir dir;
    static bool opened = [] {
        std::error_code ec;
        std::filesystem::permissions(dir.path(), std::filesystem::perms::all | std::filesystem::perms::sticky_bit, ec);
        return !ec;
    }();
    (void)opened;
    return dir.path();
}

RunResult run_varnek(const std::vector<std::string>& args, const std::string& workdir,
                     const std::vector<std::string>& env) {
    return run_program(varnek_binary(), args, workdir, tool_env(env));
}

std::string repair_lines(const std::string& out) {
    size_t at = out.rfind("\n Duration:  ");
    if (at == std::string::npos) return "<no report>";
    at = out.find("\n\n", at + 1);
    return at == std::string::npos ? "<no report end>" : out.substr(at + 2);
}

std::string without_testtime(const std::string& text) {
    static const std::regex testtime("Testtime:  [0-9]+\\.[0-9]{3} s");
    return std::regex_replace(text, testtime, "Testtime:  #.### s");
}

// A copy of the tool that the user nobody may run: the build tree can lie
// below a folder only its owner may enter (root's home, in CI).
static std::string binary_for_nobody() {
    static TempDir dir;
    static std::string copy;
    if (copy.empty() && dir.ok()) {
        std::error_code ec;
        const auto open_to_all = std::filesystem::perms(0755);
        std::filesystem::permissions(dir.path(), open_to_all, ec);
        std::string target = dir.file("varnek");
#ifdef VARNEK_TARGET_BINARY
        // A cross build: the target's binary, run by the emulator through a
        // wrapper that names the copy.
        std::string binary = dir.file("varnek-target");
        if (std::filesystem::copy_file(VARNEK_TARGET_BINARY, binary, ec) &&
            write_file(target, "#!/bin/sh\nexec " VARNEK_EMULATOR " " + binary + " \"$@\"\n")) {
            std::filesystem::permissions(binary, open_to_all, ec);
            std::filesystem::permissions(target, open_to_all, ec);
            copy = target;
        }
#else
        if (std::filesystem::copy_file(varnek_binary(), target, ec)) {
            std::filesystem::permissions(target, open_to_all, ec);
            copy = target;
        }
#endif
    }
    return copy.empty() ? varnek_binary() : copy;
}

RunResult run_varnek_restricted(std::vector<std::string> args, const std::string& dir, uint64_t size_limit,
                                bool as_nobody, const std::function<void()>& meanwhile,
                                const std::vector<std::string>& env) {
    RunRequest request;
    request.program = as_nobody ? binary_for_nobody() : varnek_binary();
    request.args = std::move(args);
    request.workdir = dir;
    request.env = tool_env(env);
    request.size_limit = size_limit;
    request.as_nobody = as_nobody;
    request.meanwhile = meanwhile;
    return run_program(request);
}

RunResult run_as_nobody(const std::vector<std::string>& args, const std::string& dir,
                        const std::vector<std::string>& env) {
    return run_varnek_restricted(args, dir, no_size_limit, true, {}, env);
}

RunResult run_under_strace(std::vector<std::string> options, const std::vector<std::string>& args,
                           const std::string& dir, const std::vector<std::string>& env) {
    options.push_back(varnek_binary());
    options.insert(options.end(), args.begin(), args.end());
    std::vector<std::string> all = {"TZ=UTC", "ASAN_OPTIONS=detect_leaks=0"};
    all.insert(all.end(), env.begin(), env.end());
    return run_program("strace", options, dir, all);
}

std::vector<std::string> kill_at(const std::string& calls, unsigned n) {
    return {"-f", "-qq", "-o", "/dev/null", "-e", "trace=" + calls,
            "-e", "inject=" + calls + ":signal=SIGKILL:when=" + std::to_string(n)};
}

// ---------------------------------------------------------------------------

TempDir::TempDir() {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) return;
    // A name no other test process picks; created only if it is new.
    static uint64_t seed = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                           (uint64_t(reinterpret_cast<uintptr_t>(&ec)) << 16);
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        std::filesystem::path name = base / ("varnek-test-" + std::to_string(seed >> 24));
        if (std::filesystem::create_directory(name, ec) && !ec) {
            std::filesystem::permissions(name, std::filesystem::perms::owner_all, ec);
            path_ = name.generic_u8string();
            return;
        }
    }
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Bytes read_file(const std::string& path) {
    Bytes bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
    return bytes;
}

std::string read_text(const std::string& path) {
    const Bytes bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

bool write_file(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool write_file(const std::string& path, const std::string& text) {
    return write_file(path, Bytes(text.begin(), text.end()));
}

bool write_at(const std::string& path, uint64_t offset, const uint8_t* bytes, size_t count) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(std::streamoff(offset));
    file.write(reinterpret_cast<const char*>(bytes), std::streamsize(count));
    return bool(file.flush());
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

int64_t file_size(const std::string& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

// Sub-second parts the file system can hold: nanoseconds, or on Windows
// 100 ns steps.
const varnek::FileTimes Unchanged::old = VARNEK_ON_WINDOWS
                                             ? varnek::FileTimes{1000000000, 123456700, 1100000000, 987654300}
                                             : varnek::FileTimes{1000000000, 123456789, 1100000000, 987654321};

// The times as text, the access time only when asked for.
static std::string times_text(const varnek::FileTimes& t, bool access) {
    return "modified " + std::to_string(t.modify_sec) + "." + std::to_string(t.modify_nsec) +
           (access ? ", accessed " + std::to_string(t.access_sec) + "." + std::to_string(t.access_nsec) : "");
}

Unchanged::Unchanged(std::vector<std::string> names, bool keep) : files(std::move(names)) {
    for (const std::string& f : files) {
        varnek::FileTimes now = old;
        if (keep && !varnek::get_file_times(f.c_str(), now)) ADD_FAILURE() << "no times of " << f;
        times.push_back(now);
        bytes.push_back(read_file(f));
        EXPECT_TRUE(varnek::set_file_times(f.c_str(), now)) << f;
    }
}

void Unchanged::check(const std::vector<Patch>& patches) const {
    for (size_t i = 0; i < files.size(); ++i) {
        Bytes expected = bytes[i];
        for (const Patch& p : i == 0 ? patches : std::vector<Patch>{}) {
            ASSERT_LE(p.first + p.second.size(), expected.size());
            std::copy(p.second.begin(), p.second.end(), expected.begin() + long(p.first));
        }
        varnek::FileTimes now;
        ASSERT_TRUE(varnek::get_file_times(files[i].c_str(), now)) << files[i];
        // Under wine, reads move the access time of the Linux file below
        // (wine cannot tell a handle to leave it alone); a real Windows
        // machine keeps it.
        EXPECT_EQ(times_text(now, !VARNEK_ON_WINDOWS), times_text(times[i], !VARNEK_ON_WINDOWS)) << files[i];
        EXPECT_TRUE(read_file(files[i]) == expected) << files[i] << " has other bytes";
    }
}

bool Unchanged::same() const {
    bool same = true;
    for (size_t i = 0; i < files.size(); ++i) {
        varnek::FileTimes now;
        same = same && varnek::get_file_times(files[i].c_str(), now) &&
               times_text(now, true) == times_text(times[i], true) && read_file(files[i]) == bytes[i];
        varnek::set_file_times(files[i].c_str(), times[i]);
    }
    return same;
}

void Unchanged::restore() const {
    for (size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(write_file(files[i], bytes[i]));
        ASSERT_TRUE(varnek::set_file_times(files[i].c_str(), times[i]));
    }
}

bool skip_row(bool skip, const std::string& what, const std::string& why) {
    if (skip) std::printf("[ skipped  ] %s: %s\n", what.c_str(), why.c_str());
    return skip;
}

std::vector<std::string> folder_names(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> undo_in(const TempDir& dir) { return {"VARNEK_UNDO_DIR=" + dir.file("undo")}; }

}  // namespace varnek::test
