// The receiver's own packets and the start time of its header record. (The
// record's stream table, masked PIDs included, stands in a golden report.)
#include "ts/qbx.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "builder.h"
#include "support/portable.h"

namespace build = varnek::build;

namespace {

TEST(Qbx, RecognitionTagsAndTexts) {
    build::Packet not_reserved = build::qbx_packet("CHNM", "ARD");
    not_reserved[3] = 0x10;
    const std::string full(175, 'A');  // bytes 13..187, no NUL
    const struct { const char* name; build::Packet p; bool qbx; const char* tag; std::string text; } rows[] = {
        {"channel name", build::qbx_packet("CHNM", "Das Erste"), true, "CHNM", "Das Erste"},
        {"text to the packet's end", build::qbx_packet("EVNT", full), true, "EVNT", full},
        {"empty text", build::qbx_packet("SHRT"), true, "SHRT", ""},
        {"47 41 FF 10", not_reserved, false, "", ""},
        {"PAT", build::pat_packet({{1, 0x64}}), false, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<uint8_t> p(row.p.begin(), row.p.end());  // exactly 188 bytes on the heap
        EXPECT_EQ(varnek::is_qbx_packet(p.data()), row.qbx);
        if (!row.qbx) continue;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(varnek::qbx_tag(p.data())), 4), row.tag);
        EXPECT_FALSE(varnek::tag_is(p.data(), "chnm"));
        EXPECT_EQ(varnek::qbx_text(p.data()), row.text);
    }
}

TEST(Qbx, RecordingStartTime) {
    VARNEK_NOT_ON_WINDOWS("the C runtime knows no IANA time zone names such as Europe/Berlin");
    // Epoch seconds worked out from the calendar and the zones' offsets.
    const struct { const char* zone; uint16_t mjd; uint8_t hour, minute; const char* local; int64_t epoch; } rows[] = {
        {"UTC", 54832, 20, 15, "2009-01-01 20:15", 1230840900},
        {"Europe/Berlin", 54832, 20, 15, "2009-01-01 20:15", 1230837300},  // CET, UTC+1
        {"Europe/Berlin", 61222, 20, 15, "2026-07-01 20:15", 1782929700},  // CEST, UTC+2
        {"UTC", 0, 6, 30, "2038-04-23 06:30", 2155617000},                 // 10704 days on
        {"UTC", 50000, 0, 0, "2175-03-16 00:00", 6475593600},              // wraps to 60704 days on
    };
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.zone) + " " + row.local);
        setenv("TZ", row.zone, 1);
        tzset();
        build::QbxhFields f;
        f.mjd = row.mjd;
        f.start_hour = row.hour;
        f.start_minute = row.minute;
        const time_t t = static_cast<time_t>(varnek::recording_start_time(build::qbxh_packet(f).data()));
        EXPECT_EQ(int64_t(t), row.epoch);
        std::tm local{};
        char text[32] = "";
        if (localtime_r(&t, &local)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
        EXPECT_STREQ(text, row.local);
    }
    old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

}  // namespace
