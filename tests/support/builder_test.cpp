// The recording builder against values worked out outside the code. (The
// sample program it drives is pinned by the README's examples.)
#include "builder.h"

#include <gtest/gtest.h>

namespace build = varnek::build;

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
