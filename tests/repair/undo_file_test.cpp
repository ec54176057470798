// The undo file's text, read strictly: every field, the end line's count
// and checksum, and how its writes fit together. Each row pins one way a
// damaged or forged file could have been believed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "builder.h"
#include "repair/undo.h"

namespace {

// Two writes into rec.ts (the second over a byte of the first), and one
// that appends two bytes to rec.ts1.
const std::string lines =
    "varnek-undo 2\n"
    "recording 7265632e7473\n"
    "resolved 2f742f7265632e7473\n"
    "identity 2049 12\n"
    "made 1700000000 5\n"
    "file 0 2049 12 1000 -5 1 1100000000 999999999\n"
    "packet 0 0 0a0b 4741\n"
    "after 0 1000 -5 1 1100000000 999999999\n"
    "packet 0 1 4100 ffee\n"
    "after 0 1000 -5 1 1100000000 999999999\n"
    "file 1 2049 13 376 0 0 0 0\n"
    "packet 1 376 0000 abcd\n"
    "after 1 378 0 0 1700000001 0\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string why_refused(const std::string& text) {
    varnek::UndoJournal journal;
    std::string why;
    return varnek::parse_undo(text, journal, why) ? "taken" : why;
}

TEST(UndoFile, SealedAndReadBack) {
    char end[32];
    std::snprintf(end, sizeof end, "end 13 %08x\n",
                  varnek::build::crc32_mpeg2(varnek::build::Bytes(lines.begin(), lines.end())));
    EXPECT_EQ(varnek::sealed_undo_text(lines), lines + end);

    varnek::UndoJournal j;
    std::string why;
    ASSERT_TRUE(varnek::parse_undo(varnek::sealed_undo_text(lines), j, why)) << why;
    EXPECT_EQ(j.recording, "rec.ts");
    EXPECT_EQ(j.resolved, "/t/rec.ts");
    EXPECT_EQ(j.identity.inode, 12u);
    EXPECT_EQ(j.made_sec, 1700000000);
    ASSERT_EQ(j.parts.size(), 2u);
    EXPECT_EQ(j.parts[0].before.times.access_sec, -5);
    EXPECT_EQ(j.parts[0].before.times.modify_nsec, 999999999);
    EXPECT_EQ(j.parts[1].id.inode, 13u);
    ASSERT_EQ(j.writes.size(), 3u);
    EXPECT_EQ(j.writes[1].old_bytes, (std::vector<uint8_t>{0x41, 0x00}));
    EXPECT_EQ(j.writes[2].after.size, 378);
    EXPECT_EQ(j.writes[2].outcome, varnek::UndoJournal::Outcome::done);
    EXPECT_FALSE(j.undoing);

    // Cut short before the last write's outcome, and once -undo has begun.
    const std::string open = lines.substr(0, lines.rfind("after 1"));
    ASSERT_TRUE(varnek::parse_undo(varnek::sealed_undo_text(open), j, why)) << why;
    EXPECT_EQ(j.writes[2].outcome, varnek::UndoJournal::Outcome::cut_short);
    ASSERT_TRUE(varnek::parse_undo(varnek::sealed_undo_text(open + "undoing\n"), j, why)) << why;
    EXPECT_TRUE(j.undoing);
}

TEST(UndoFile, RefusesWhatNoRunWrites) {
    struct Row {
        const char* name;
        std::string text, why;
    };
    // Damage that the end line catches: the file as a whole is refused.
    const std::string sealed = varnek::sealed_undo_text(lines);
    std::string flipped = sealed;
    flipped[sealed.find("4741")] ^= 0x01;  // "5741"
    const Row damaged[] = {
        {"empty", "", "it is not an undo file"},
        {"something else", "hello\n", "it is not an undo file"},
        {"an older version", replaced(sealed, "varnek-undo 2", "varnek-undo 1"), "it is of another version"},
        {"cut inside the end line", sealed.substr(0, sealed.size() - 1), "it is cut short"},
        {"cut inside a line", sealed.substr(0, sealed.find("ffee") + 2), "it is cut short"},
        {"cut at a line's end", lines, "it has no end line"},
        {"a bit flipped", flipped, "its checksum is wrong"},
        {"a line deleted", replaced(sealed, "packet 0 1 4100 ffee\n", ""), "it has lost or gained lines"},
        {"a line doubled", replaced(sealed, "packet 0 1 4100 ffee\n", "packet 0 1 4100 ffee\npacket 0 1 4100 ffee\n"),
         "it has lost or gained lines"},
        {"two lines swapped",
         replaced(sealed, "file 1 2049 13 376 0 0 0 0\npacket 1 376 0000 abcd\n",
                  "packet 1 376 0000 abcd\nfile 1 2049 13 376 0 0 0 0\n"),
         "its checksum is wrong"},
        {"checksum in upper case", sealed.substr(0, sealed.rfind(' ') + 1) + "ABCDEF12\n",
         "its end line is not understood"},
        {"checksum too short", sealed.substr(0, sealed.rfind(' ') + 1) + "abcdef1\n", "its end line is not understood"},
    };
    // Sealed, but not what a run writes: every field is read strictly and the
    // writes must fit the files and each other.
    const std::string hex565(2 * 565, 'a');
    const Row forged[] = {
        {"upper-case hex", replaced(lines, "ffee", "FFEE"), "line 9 is not understood"},
        {"a letter that is no digit", replaced(lines, "ffee", "fnee"), "line 9 is not understood"},
        {"hex of odd length", replaced(lines, "4100 ffee", "410 ffe"), "line 9 is not understood"},
        {"old and new of other lengths", replaced(lines, "ffee", "ffeedd"), "line 9 has bytes of the wrong length"},
        {"more than three packets", replaced(lines, "4100 ffee", hex565 + " " + hex565),
         "line 9 has bytes of the wrong length"},
        {"an offset that wraps", replaced(lines, "packet 0 1 ", "packet 0 18446744073709551612 "),
         "line 9 is not understood"},
        {"an offset at the end of the range", replaced(lines, "packet 0 1 ", "packet 0 9223372036854775807 "),
         "line 9 writes outside the file"},
        {"an offset beyond the file", replaced(lines, "packet 1 376 ", "packet 1 377 "),
         "line 12 writes outside the file"},
        {"a leading zero", replaced(lines, "packet 0 1 ", "packet 0 01 "), "line 9 is not understood"},
        {"a plus sign", replaced(lines, "packet 0 1 ", "packet 0 +1 "), "line 9 is not understood"},
        {"minus zero", replaced(lines, " -5 1 1100000000", " -0 1 1100000000"), "line 6 is not understood"},
        {"a second of nanoseconds", replaced(lines, "999999999", "1000000000"), "line 6 is not understood"},
        {"a part number beyond 32 bits", replaced(lines, "file 1 ", "file 4294967296 "), "line 11 is not understood"},
        {"two spaces", replaced(lines, "packet 0 1 ", "packet 0  1 "), "line 9 is not understood"},
        {"a space at the end", replaced(lines, "ffee\n", "ffee \n"), "line 9 is not understood"},
        {"a carriage return", replaced(lines, "ffee\n", "ffee\r\n"), "line 9 is not understood"},
        {"an unknown word", replaced(lines, "after 1 ", "afterwards 1 "), "line 13 is not understood"},
        {"an identity that is no number", replaced(lines, "identity 2049 12", "identity 2049 x"),
         "line 4 is not understood"},
        {"a name with a zero byte", replaced(lines, "7265632e7473\n", "7265002e7473\n"), "line 2 is not understood"},
        {"no name", replaced(lines, "recording 7265632e7473", "recording "), "line 2 is not understood"},
        {"a date before the epoch", replaced(lines, "made 1700000000", "made -1"), "line 5 is not understood"},
        {"a part file noted twice", replaced(lines, "file 1 2049 13", "file 0 2049 13"),
         "line 11 notes a part file twice"},
        {"a write into a part with no file line", replaced(lines, "packet 1 376", "packet 2 376"),
         "line 12 writes into a part file with no file line"},
        {"a write without its after line", replaced(lines, "after 0 1000 -5 1 1100000000 999999999\npacket", "packet"),
         "line 7 has no after line"},
        {"an after line of another part", replaced(lines, "after 1 378", "after 0 378"),
         "line 13 follows no write of its part file"},
        {"a size no write leaves", replaced(lines, "after 0 1000 ", "after 0 999 "),
         "line 8 has a size the write cannot have left"},
        {"an appended write that falls short", replaced(lines, "after 1 378", "after 1 377"),
         "line 13 has a size the write cannot have left"},
        {"old bytes the write before did not leave", replaced(lines, "4100 ffee", "4200 ffee"),
         "line 9 does not fit the writes before it"},
        {"old bytes beyond the file's end", replaced(lines, "0000 abcd", "0100 abcd"),
         "line 12 does not fit the writes before it"},
        {"a line after the undoing line", replaced(lines, "file 1 ", "undoing\nfile 1 "),
         "line 12 follows the undoing line"},
        {"no write", lines.substr(0, lines.find("file 0")), "it holds no write"},
        {"a file line with no write", lines.substr(0, lines.find("packet 0 0")), "line 6 is a file line with no write"},
    };
    for (const Row& row : damaged) EXPECT_EQ(why_refused(row.text), row.why) << row.name;
    for (const Row& row : forged) EXPECT_EQ(why_refused(varnek::sealed_undo_text(row.text)), row.why) << row.name;
}

}  // namespace
