// The console helpers against values worked out by hand.
#include "util/output.h"

#include <gtest/gtest.h>

#include <string>

#include "console_capture.h"
#include "platform/platform.h"
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

TEST(Output, StreamTypeNames) {
    const struct { uint8_t type; const char* name; } rows[] = {
        {0x02, "Video Mpeg2"}, {0x03, "Audio Mpeg1"}, {0x04, "Audio Mpeg1"}, {0x06, "Teletext"},
        {0xE3, "Teletext"},    {0x1B, "Video H264"},  {0x81, "Audio AC3"},   {0xE0, "Audio AC3"},
        {0xE2, "PMT"},         {0x05, "unknown"},     {0x00, "unknown"},     {0xFF, "unknown"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.type);
        EXPECT_STREQ(varnek::stream_type_name(row.type), row.name);
    }
}

TEST(Output, HexDumpOfAPacket) {
    uint8_t packet[188];
    for (int i = 0; i < 188; ++i) packet[i] = static_cast<uint8_t>(255 - i);
    const char* digits = "0123456789ABCDEF";
    auto hex = [&](int v) { return std::string{digits[v >> 4], digits[v & 15]}; };
    std::string expected;  // a row head at every 16th byte, two hex digits per byte
    for (int i = 0; i < 188; ++i) expected += (i % 16 ? "" : (i ? "\n " : " ") + hex(i) + ":") + " " + hex(packet[i]);
    varnek::test::ConsoleCapture capture;
    varnek::hex_dump(packet);
    const std::string out = capture.out();
    EXPECT_EQ(out, expected + "\n");
    EXPECT_EQ(out.substr(out.rfind(" B0:")), " B0: 4F 4E 4D 4C 4B 4A 49 48 47 46 45 44\n");
}

#define TEN_X "xxxxxxxxxx"
#define HUNDRED_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X TEN_X

TEST(Output, ReportErrorPrintsWholeMessages) {
    const std::string y(300, 'y'), x(300, 'x');
    varnek::test::ConsoleCapture capture;
    varnek::report_error("%s", y.c_str());
    varnek::report_error(HUNDRED_X HUNDRED_X HUNDRED_X " %d", 7);
    varnek::report_error("Can't open '%s' for reading", "a%sb%d.ts");
    EXPECT_EQ(capture.err(), "Error: " + y + "!\nError: " + x + " 7!\nError: Can't open 'a%sb%d.ts' for reading!\n");
    EXPECT_EQ(capture.out(), "");
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
