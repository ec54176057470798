// Texts from recordings and command lines: the wildcard matcher.
#include "util/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, WildcardsMatchAsAShellDoes) {
    const struct { const char* pattern; const char* name; bool fold; bool match; } rows[] = {
        {"*.ts", "rec.ts", false, true},
        {"*.ts", "rec.ts1", false, false},        // a part file is left out
        {"*.ts*", "rec.ts1", false, true},
        {"*.ts", ".ts", false, false},            // a leading dot is matched only by a dot
        {".*", ".hidden.ts", false, true},
        {"*", "", false, true},
        {"?", "", false, false},
        {"rec?.ts", "rec1.ts", false, true},
        {"rec?.ts", "rec.ts", false, false},
        {"rec?.ts", "rec12.ts", false, false},
        {"?.ts", "\xC3\xA9.ts", false, true},      // é: one character of two bytes
        {"?.ts", "\xE6\x97\xA5.ts", false, true},  // 日: three bytes
        {"??.ts", "\xC3\xA9.ts", false, false},
        {"*a*b*c", "xaxbxbxc", false, true},       // the stars give back what the rest needs
        {"*a*b*c", "xaxcxb", false, false},
        {"a*", "a", false, true},
        {"*.TS", "rec.ts", false, false},
        {"*.TS", "rec.ts", true, true},            // as a Windows file system compares names
        {"R?C.ts", "rec.TS", true, true},
        {"\xC3\x89*", "\xC3\xA9t\xC3\xA9", true, false},  // only A to Z fold
        {"exact", "exact", false, true},
        {"exact", "exactly", false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.pattern) + " / " + row.name);
        EXPECT_EQ(varnek::wildcard_match(row.pattern, row.name, row.fold), row.match);
    }
}

}  // namespace
