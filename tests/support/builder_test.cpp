// The recording builder against values worked out outside the code.
#include "builder.h"
#include "programs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace build = varnek::build;
using varnek::test::TempDir;

TEST(BuilderCrc, CheckValueOfTheNineDigits) {
    const char* digits = "123456789";
    EXPECT_EQ(build::crc32_mpeg2(reinterpret_cast<const uint8_t*>(digits), 9), 0x0376E6E7u);
}

TEST(BuilderCrc, WholeSectionWithItsCrcGivesZero) {
    build::Bytes pat = build::pat_section(build::PatFields{});
    EXPECT_EQ(build::crc32_mpeg2(pat), 0u);

    build::PmtFields pmt;
    pmt.streams = {{0x02, 0x100, {}, -1}, {0x03, 0x101, {0x0A, 0x04, 'd', 'e', 'u', 0x00}, -1}};
    EXPECT_EQ(build::crc32_mpeg2(build::pmt_section(pmt)), 0u);
}

TEST(BuilderSections, SingleProgramPatByteForByte) {
    build::PatFields fields;
    fields.programs = {{1, 0x64}};
    fields.transport_stream_id = 0x0431;
    fields.version = 20;
    build::Packet p = build::pat_packet(fields);

    const build::Bytes head{0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x0D, 0x04, 0x31, 0xE9,
                            0x00, 0x00, 0x00, 0x01, 0xE0, 0x64, 0x09, 0xB5, 0xDC, 0x88};
    EXPECT_EQ(build::Bytes(p.begin(), p.begin() + 21), head);
    for (size_t i = 21; i < 188; ++i) EXPECT_EQ(p[i], 0xFF) << "byte " << i;
}

TEST(BuilderClock, PtsOfTheLargestValue) {
    auto b = build::pts_bytes((1ull << 33) - 1);
    // '0010' 111 1 | 8 x 1 | 7 x 1 1 | 8 x 1 | 7 x 1 1
    EXPECT_EQ(b, (std::array<uint8_t, 5>{0x2F, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(BuilderDates, ModifiedJulianDate) { EXPECT_EQ(build::mjd_from_date(2009, 1, 1), 54832); }

TEST(SampleProgram, WritesTwoPartFilesOfThreeMinutes) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    varnek::test::RunResult run = varnek::test::run_program(VARNEK_SAMPLE_BINARY, {dir.path()});
    ASSERT_TRUE(run.started) << run.err;
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");

    int64_t first = varnek::test::file_size(dir.file("sample.ts"));
    int64_t second = varnek::test::file_size(dir.file("sample.ts1"));
    EXPECT_EQ(first % 188, 0);
    EXPECT_EQ(second % 188, 0);
    EXPECT_LE(std::abs(first - second), 188);
    EXPECT_GT(first + second, 20 * 1000 * 1000);

    build::Bytes head = varnek::test::read_file(dir.file("sample.ts"));
    ASSERT_GE(head.size(), 6u * 188);
    EXPECT_EQ(std::memcmp(head.data(), "\x47\x41\xFF\x00QBXH", 8), 0);
    EXPECT_EQ(head[24] | (head[25] << 8), 180);
    EXPECT_EQ(std::memcmp(head.data() + 3 * 188 + 4, "CHNM", 4), 0);
    EXPECT_EQ(head[4 * 188 + 1], 0x40);  // PAT
    EXPECT_EQ(head[4 * 188 + 2], 0x00);
    EXPECT_EQ(head[5 * 188 + 2], 0x64);  // PMT
}
