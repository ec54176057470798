// The few POSIX calls the tests make, on Windows too, where they mean what
// Windows can give: no user is root (the tests that need another user skip),
// no file has another owner, and IANA time zone names are unknown (the tests
// that need them skip).
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <direct.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

namespace varnek::test::portable {
inline int make_dir(const char* path, int) { return _mkdir(path); }
inline int make_symlink(const char* target, const char* link) {
    std::error_code ec;
    std::filesystem::create_symlink(target, link, ec);
    return ec ? -1 : 0;
}
inline int make_fifo(const char*) { return -1; }
}  // namespace varnek::test::portable
inline unsigned geteuid() { return 1; }
inline int chown(const char*, int, int) { return -1; }
inline int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
inline std::tm* localtime_r(const std::time_t* t, std::tm* out) { return localtime_s(out, t) == 0 ? out : nullptr; }
#define VARNEK_ON_WINDOWS 1
#else
#include <sys/stat.h>
#include <unistd.h>
namespace varnek::test::portable {
inline int make_dir(const char* path, int mode) { return mkdir(path, mode_t(mode)); }
inline int make_symlink(const char* target, const char* link) { return symlink(target, link); }
inline int make_fifo(const char* path) { return mkfifo(path, 0600); }
}  // namespace varnek::test::portable
#define VARNEK_ON_WINDOWS 0
#endif

// Skips a test that cannot apply on Windows, with the reason.
#define VARNEK_NOT_ON_WINDOWS(why)                                \
    do {                                                          \
        if (VARNEK_ON_WINDOWS) GTEST_SKIP() << "not on Windows: " << why; \
    } while (0)
