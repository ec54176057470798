// The console helpers against values worked out by hand. (Labels and hex
// dumps stand whole in the golden reports.)
#include "util/output.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "programs.h"

namespace {

TEST(Output, TimeTexts) {
    const struct { uint32_t value; bool ms; const char* text; } rows[] = {
        {0, true, "no PTS"},          {1, true, "00:00:00.001"}, {3600000, true, "01:00:00.000"},
        {95443717, true, "26:30:43.717"},                        // the wrap of the 33-bit clock
        {4294967295u, true, "1193:02:47.295"},                   // hours are not cut to two digits
        {0, false, "00:00:00"},       {3661, false, "01:01:01"}, {65535, false, "18:12:15"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_STREQ(row.ms ? varnek::format_ms(row.value) : varnek::format_hms(row.value), row.text);
    }
}

// What steps print on err, from a fresh line with no status shown.
std::string printed_on_err(void (*steps)()) {
    const varnek::Console saved = varnek::console();
    varnek::console().err = std::tmpfile();
    varnek::console().err_line_open = false;
    varnek::console().status_width = 0;
    steps();
    std::FILE* printed = varnek::console().err;
    varnek::console() = saved;
    std::string text(2000, '\0');
    std::rewind(printed);
    text.resize(std::fread(&text[0], 1, text.size(), printed));
    std::fclose(printed);
    return text;
}

#define TEN_X "xxxxxxxxxx"
#define HUNDRED_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X

// A line left open on err (a "Sync lost" without "ReSync") is ended before
// whatever err prints next; a status line is erased before every other
// line and rewritten in place, blanks over the rest of a longer one. Error
// messages are printed whole, whatever their length.
TEST(Output, ErrorLinesOpenLinesAndTheStatusLine) {
    const struct { const char* name; void (*steps)(); std::string err; } rows[] = {
        {"long messages",
         [] {
             varnek::report_error("%s", std::string(300, 'y').c_str());
             varnek::report_error(HUNDRED_X HUNDRED_X HUNDRED_X " %d", 7);
             varnek::report_error("Can't open '%s' for reading", "a%sb%d.ts");
         },
         "Error: " + std::string(300, 'y') + "!\nError: " + std::string(300, 'x') +
             " 7!\nError: Can't open 'a%sb%d.ts' for reading!\n"},
        {"open line, error", [] { varnek::console().err_line_open = true; varnek::report_error("No PMT found"); },
         "\nError: No PMT found!\n"},
        {"open line, status", [] { varnek::console().err_line_open = true; varnek::show_status("[1/2] a.ts"); },
         "\n\r[1/2] a.ts"},
        {"status, shorter status, error",
         [] {
             varnek::show_status("[9/10] abc.ts");
             varnek::show_status("[10/10] d");
             varnek::report_error("x");
         },
         "\r[9/10] abc.ts\r[10/10] d    \r[10/10] d\r         \rError: x!\n"},  // nine columns are left to blank
        {"status cleared twice", [] { varnek::show_status("\xC3\xA9"); varnek::clear_status(); varnek::clear_status(); },
         "\r\xC3\xA9\r \r"},  // é takes one column
        {"nothing open", [] { varnek::begin_err_line(); }, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(printed_on_err(row.steps), row.err);
    }
}

// Progress markers are flushed one by one everywhere but on the null device:
// a file taken for it would show whoever follows it no progress.
TEST(Output, OnlyTheNullDeviceGoesUnflushed) {
    varnek::test::TempDir dir;
    std::FILE* null = varnek::open_null_output();
    std::FILE* file = std::fopen(dir.file("log").c_str(), "w");
    ASSERT_TRUE(null && file);
    EXPECT_TRUE(varnek::is_null_device(null));
    EXPECT_FALSE(varnek::is_null_device(file));
    std::fclose(null);
    std::fclose(file);
}

}  // namespace
