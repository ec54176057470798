// Texts from recordings and command lines: the wildcard matcher.
#include "util/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, WildcardsMatchAsAShellDoes) {
    const struct { const char* pattern; const char* name; bool match; } rows[] = {
        {"*.ts", "rec.ts", true},
        {"*.ts", "rec.ts1", false},        // a part file is left out
        {"*.ts*", "rec.ts1", true},
        {"*.ts", ".ts", false},            // a leading dot is matched only by a dot
        {".*", ".hidden.ts", true},
        {"*", "", true},
        {"?", "", false},
        {"rec?.ts", "rec1.ts", true},
        {"rec?.ts", "rec.ts", false},
        {"rec?.ts", "rec12.ts", false},
        {"?.ts", "\xC3\xA9.ts", true},      // é: one character of two bytes
        {"?.ts", "\xE6\x97\xA5.ts", true},  // 日: three bytes
        {"??.ts", "\xC3\xA9.ts", false},
        {"*a*b*c", "xaxbxbxc", true},       // the stars give back what the rest needs
        {"*a*b*c", "xaxcxb", false},
        {"a*", "a", true},
        {"*.TS", "rec.ts", false},                 // letters with their case, on Windows too
        {"R?C.ts", "REC.ts", true},
        {"exact", "exact", true},
        {"exact", "exactly", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.pattern) + " / " + row.name);
        EXPECT_EQ(varnek::wildcard_match(row.pattern, row.name), row.match);
    }
}

}  // namespace
