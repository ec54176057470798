// The test support helpers: running programs, temporary directories, files.
#include "process.h"

#include <gtest/gtest.h>

using namespace varnek::test;

TEST(RunProgram, CapturesBothStreamsAndTheExitCode) {
    RunResult r = run_program("/bin/sh", {"-c", "printf 'out\\n'; printf 'err' >&2; exit 3"});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err");
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.signal, 0);
}

TEST(RunProgram, PassesArgumentsUnchangedAndAddsEnvironment) {
    RunResult r = run_program("/bin/sh", {"-c", "printf '%s|%s|%s' \"$1\" \"$TZ\" \"$VARNEK_X\"", "sh", "a b*"},
                              "", {"TZ=UTC", "VARNEK_X=1"});
    EXPECT_EQ(r.out, "a b*|UTC|1");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(RunProgram, RunsInTheGivenDirectory) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    RunResult r = run_program("/bin/pwd", {}, dir.path());
    char resolved[4096];
    ASSERT_NE(realpath(dir.path().c_str(), resolved), nullptr);
    EXPECT_EQ(r.out, std::string(resolved) + "\n");
}

TEST(RunProgram, ReportsAProgramThatCannotStart) {
    RunResult r = run_program("/nonexistent/varnek", {});
    EXPECT_FALSE(r.started);
    EXPECT_NE(r.err, "");
}

TEST(RunProgram, CapturesLargeOutputOnBothStreams) {
    RunResult r = run_program("/bin/sh", {"-c", "i=0; while [ $i -lt 2000 ]; do echo 0123456789012345678901234567890123456789; echo e >&2; i=$((i+1)); done"});
    EXPECT_EQ(r.out.size(), 2000u * 41);
    EXPECT_EQ(r.err.size(), 2000u * 2);
}

TEST(TempDirHelper, IsFreshAndRemovedAfterwards) {
    std::string path;
    {
        TempDir a, b;
        ASSERT_TRUE(a.ok());
        EXPECT_NE(a.path(), b.path());
        path = a.path();
        ASSERT_TRUE(write_file(a.file("x.bin"), Bytes{1, 2, 3}));
        EXPECT_EQ(read_file(a.file("x.bin")), (Bytes{1, 2, 3}));
        EXPECT_EQ(file_size(a.file("x.bin")), 3);
    }
    EXPECT_FALSE(file_exists(path));
}

TEST(FileTimesHelper, SetsAndReadsBackBothTimes) {
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("t"), std::string("abc")));
    ASSERT_TRUE(set_file_times(dir.file("t"), 1000000000, 1200000000));
    FileTimes t;
    ASSERT_TRUE(get_file_times(dir.file("t"), t));
    EXPECT_EQ(t.access_s, 1000000000);
    EXPECT_EQ(t.modify_s, 1200000000);
    EXPECT_FALSE(get_file_times(dir.file("missing"), t));
}
