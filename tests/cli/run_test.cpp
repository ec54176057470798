// The run's exit status and its lock, through the real program: a run whose
// repair failed says so by its exit code, and two runs never write into one
// recording at once.
#include <gtest/gtest.h>

#include "builder.h"
#include "programs.h"

namespace build = varnek::build;
namespace t = varnek::test;

namespace {

using Args = std::vector<std::string>;

// 3000 packets behind the given head; PAT and PMT unless bare.
void write_rec(const std::string& path, std::vector<build::Packet> head, bool bare = false) {
    build::Recipe r = build::tables_recipe(head);
    if (bare) r.head.resize(head.size());
    ASSERT_TRUE(build::write_recording(r, path).ok) << path;
}

// In a folder with rec.ts (header record, CHNM packet, PAT, PMT), other.ts
// (header record, PAT, PMT), plain.ts (no header record), bare.ts (no tables
// at all) and h.bin; nope.ts does not exist. A run whose repair failed says
// so by its exit code. While this process holds the lock of rec.ts (locked
// rows, run on rec.ts and other.ts), a run that would write into rec.ts
// leaves it alone with one error line and goes on; runs that only read, and
// -dry, take no lock.
TEST(Run, ExitStatusAndLock) {
    const std::string check_note = "Note: -check only reads: -fixqbx, -fixpat, -get: and -put: are not carried out\n";
    const std::string busy = "Error: 'rec.ts' is being repaired by another run!\n";
    const struct { Args args; int code; std::string err, out_has, out_not = ""; bool locked = false; } rows[] = {
        {{"-fixqbx", "-force", "rec.ts"}, 0, "", "Overwrite 1. ts packet with QBX"},
        {{"-fixqbx", "bare.ts"}, 3, "Error: No PMT found!\n", ""},
        {{"-fixqbx", "-dry", "bare.ts"}, 3, "Error: No PMT found!\n", ""},  // so would the real run
        {{"-json", "-fixqbx", "bare.ts"}, 3, "Error: No PMT found!\n", "\"ok\":false"},
        {{"-fixpat", "-force", "plain.ts"}, 3, "Error: No QBX found!\n", ""},
        {{"-fixpat", "rec.ts"}, 0, "", "\nPAT already exists\n"},  // nothing asked for that was not done
        {{"-get:nodir/h.bin", "rec.ts"}, 3, "Error: Can't open 'nodir/h.bin' for writing!\n", ""},
        {{"-get:h.bin", "plain.ts"}, 0, "", ""},  // no header record: nothing to copy, nothing failed
        // Of an option given twice, the later value counts.
        {{"-get:a.bin", "rec.ts", "-get:b.bin"}, 0, "", "\nWrite first ts packet to: 'b.bin'\n", "'a.bin'"},
        // The run goes on; a recording it cannot open had its repair asked for.
        {{"-fixqbx", "-force", "nope.ts", "rec.ts"}, 3, "Error: Can't open 'nope.ts' for reading!\n",
         "Overwrite 1. ts packet with QBX"},
        {{"-get:h.bin", "nope.ts"}, 3, "Error: Can't open 'nope.ts' for reading!\n", ""},
        {{"-undo", "rec.ts"}, 3, "Error: No undo data for 'rec.ts'!\n", ""},
        {{"-undo", "nope.ts", "rec.ts"}, 3, "Error: Can't open 'nope.ts' for reading!\nError: No undo data for 'rec.ts'!\n", ""},
        // Runs that only read keep their codes.
        {{"nope.ts", "rec.ts"}, 0, "Error: Can't open 'nope.ts' for reading!\n", "Analyse: 'rec.ts'"},
        {{"-list", "-fixqbx", "nope.ts"}, 0, "Error: Can't open 'nope.ts' for reading!\n", ""},
        {{"-prn:CHNM", "nope.ts"}, 0, "Error: Can't open 'nope.ts' for reading!\n", ""},
        {{"-check", "-fixqbx", "rec.ts"}, 0, check_note, "'rec.ts': intact"},
        {{"-check", "-fixqbx", "nope.ts"}, 2, check_note + "Error: Can't open 'nope.ts' for reading!\n", ""},
        {{"-check", "-salvage:out.ts", "rec.ts"}, 0,
         "Note: -check only reads: -fixqbx, -fixpat, -get:, -put: and -salvage: are not carried out\n", "'rec.ts': intact"},
        {{"-check", "plain.ts"}, 1, "", "'plain.ts': damaged"},
        // rec.ts locked by this process
        {{"-fixqbx", "-force"}, 3, busy, "Analyse: 'other.ts'", "Analyse: 'rec.ts'", true},
        {{"-fixpat", "-force"}, 3, busy, "Analyse: 'other.ts'", "Analyse: 'rec.ts'", true},
        {{"-put:h.bin", "-force"}, 3, busy, "Overwrite first ts packet", "Analyse: 'rec.ts'", true},
        {{"-get:h2.bin", "-fixqbx", "-force"}, 3, busy, "Write first ts packet to", "Analyse: 'rec.ts'", true},
        {{"-undo"}, 3, busy + "Error: No undo data for 'other.ts'!\n", "", "Undone", true},
        {{"-json", "-fixqbx", "-force"}, 3, busy, "\"error\":\"'rec.ts' is being repaired by another run\"", "", true},
        {{}, 0, "", "Analyse: 'rec.ts'", "", true},
        {{"-get:h2.bin"}, 0, "", "Analyse: 'rec.ts'", "", true},
        {{"-fixqbx", "-force", "-dry"}, 0, "", "Would: Overwrite 1. ts packet with QBX", "", true},
        {{"-list", "-fixqbx"}, 0, "", "Alpha", "", true},
        {{"-check"}, 0, "", "'rec.ts': intact", "", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args) + (row.locked ? " locked" : ""));
        t::TempDir dir;
        write_rec(dir.file("rec.ts"), {build::qbxh_packet({}), build::qbx_packet("CHNM", "Alpha")});
        write_rec(dir.file("other.ts"), {build::qbxh_packet({})});
        write_rec(dir.file("plain.ts"), {});
        write_rec(dir.file("bare.ts"), {}, true);
        ASSERT_TRUE(t::write_file(dir.file("h.bin"), t::Bytes(188, 0x47)));
        t::Unchanged rec({dir.file("rec.ts")});
        varnek::FileLock* lock = nullptr;
        if (row.locked) {
            ASSERT_EQ(varnek::lock_file(dir.file("rec.ts").c_str(), lock), varnek::LockOutcome::taken);
        }
        Args args = row.args;
        if (row.locked) args.insert(args.end(), {"rec.ts", "other.ts"});
        auto r = t::run_varnek(args, dir.path(), t::undo_in(dir));
        if (lock) varnek::unlock_file(lock);
        EXPECT_EQ(r.exit_code, row.code);
        EXPECT_EQ(r.err, row.err);
        EXPECT_TRUE(t::has(r.out, row.out_has)) << r.out;
        if (!row.out_not.empty()) {
            EXPECT_FALSE(t::has(r.out, row.out_not)) << r.out;
        }
        if (row.locked) rec.check();
    }
}

// The lock binds only those who ask for it, is the file's and not the
// name's, and is given back: after each recording (a recording named twice
// is repaired twice) and when the run ends.
TEST(RunLock, TakenAndGivenBack) {
    t::TempDir dir;
    write_rec(dir.file("rec.ts"), {build::qbxh_packet({})});
    ASSERT_EQ(varnek::test::portable::make_dir(dir.file("sub").c_str(), 0755), 0);
    varnek::FileLock* first = nullptr;
    varnek::FileLock* second = nullptr;
    EXPECT_EQ(varnek::lock_file(dir.file("nope.ts").c_str(), first), varnek::LockOutcome::unavailable);
    EXPECT_EQ(varnek::lock_file(dir.file("sub").c_str(), first), varnek::LockOutcome::unavailable);
    ASSERT_EQ(varnek::lock_file(dir.file("rec.ts").c_str(), first), varnek::LockOutcome::taken);
    EXPECT_EQ(varnek::lock_file(dir.file("./rec.ts").c_str(), second), varnek::LockOutcome::busy);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(t::read_file(dir.file("rec.ts")).size(), 3003u * 188) << "reads go on under the lock";
    varnek::unlock_file(first);

    auto r = t::run_varnek({"-fixqbx", "-force", "rec.ts", "rec.ts"}, dir.path(),
                           t::undo_in(dir));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    const std::string line = "\nOverwrite 1. ts packet with QBX\n";
    EXPECT_NE(r.out.find(line, r.out.find(line) + 1), std::string::npos) << r.out;
    ASSERT_EQ(varnek::lock_file(dir.file("rec.ts").c_str(), first), varnek::LockOutcome::taken);
    varnek::unlock_file(first);
}

}  // namespace
