// What the capture keeps and prints (QBX packets, PMT changes, -prn:), the
// report's sections and the -list line, each against a golden text.
#include "analysis/console_case.h"

namespace varnek::test {
namespace {

// The receiver's header of a recording that starts at hour:minute of the
// given day and lasts 5400 s: program 1, PMT 0x64, video and PCR 0x100,
// audio 0x101.
build::Packet header(int year, int month, int day, uint8_t hour, uint8_t minute, uint16_t program = 1) {
    build::QbxhFields f = build::program_record(0x64, 5400);
    f.program_number = program;
    f.start_hour = hour;
    f.start_minute = minute;
    f.mjd = build::mjd_from_date(year, month, day);
    return build::qbxh_packet(f);
}

// QBXH, a second QBXH, EVNT, SHRT and CHNM as packets 0..4; with a part
// file that repeats the header (another day) and names another channel.
std::function<void(const TempDir&)> receiver_texts(bool with_part) {
    std::map<std::string, Packets> named = {
        {"rec.ts", {header(2009, 1, 1, 20, 15), header(2010, 6, 15, 21, 30, 2), build::qbx_packet("EVNT", "Tatort"),
                    build::qbx_packet("SHRT", "Krimi"), build::qbx_packet("CHNM", "Sender Eins")}}};
    if (with_part) named["rec.ts1"] = {header(2011, 3, 3, 6, 0, 3), build::qbx_packet("CHNM", "Sender Zwei")};
    return files(named);
}

TEST(CaptureConsole, QbxPacketsTextsAndPmtChanges) {
    // A PMT, its repeat with another continuity counter, then a PMT of
    // another program on PID 0x101; last a PMT behind a pointer field of 1,
    // which is taken for none.
    std::vector<build::PmtStream> both{{0x02, 0x100, {}, -1}, {0x03, 0x101, {}, -1}};
    build::PmtFields shifted;
    shifted.pid = 0x101;
    shifted.tweaks.pointer_field = 1;
    auto pmt_change = rec({pmt(0x64, 1, 0x100, both), pmt(0x64, 1, 0x100, both, 1),
                           pmt(0x101, 2, 0x200, {{0x02, 0x200, {}, -1}}), build::pmt_packet(shifted)});
    const ConsoleCase cases[] = {
        {"capture_pmt_change.out", pmt_change, {"rec.ts"}},
        {"capture_pmt_change_list.out", pmt_change, {"-list", "rec.ts"}},
        {"capture_qbx.out", receiver_texts(false), {"rec.ts"}},
        {"capture_prn_chnm.out", receiver_texts(true), {"-prn:CHNM", "rec.ts"}},
        {"capture_prn_evnt.out", receiver_texts(false), {"rec.ts", "-prn:EVNTxyz"}},
        // Compared with its terminating NUL, a three-letter tag matches no packet.
        {"capture_prn_short_tag.out", receiver_texts(false), {"rec.ts", "-prn:CHN"}},
        {"capture_prn_datetime.out", receiver_texts(true), {"-prn:DateTime", "rec.ts"}},
        {"capture_prn_datetime_berlin.out", rec({header(2009, 7, 1, 20, 15)}), {"-prn:DateTime", "rec.ts"},
         "Europe/Berlin"},
    };
    for (const ConsoleCase& c : cases) check_console_case(c);
}

TEST(ReportConsole, Sections) {
    auto no_tables = rec({build::qbx_packet("EVNT", "x"), pes(0x100, 10000, 9000), pes(0x101, 10020),
                          build::null_packet(), pes(0x100, 10040, 9040)});
    // Video 256 is the fifth packet, at 0x2F0; the last QBX packet is the fourth.
    auto receiver = rec({header(2009, 1, 1, 20, 15), build::pat_packet({{1, 0x64}}),
                         pmt(0x64, 1, 0x100, {{0x02, 0x100, {}, -1}, {0x03, 0x101, {}, -1}}),
                         build::qbx_packet("CHNM", "Sender Eins"), pes(0x100, 10000, 9500), pes(0x101, 10020),
                         pes(0x100, 70000, 69500)});
    // a: equal first and last clocks; b: the PCR span shorter than the PTS
    // span by less than a second; c: by more.
    auto durations = files({{"a.ts", {video_pmt(), pes(0x100, 20000, 15000)}},
                            {"b.ts", {video_pmt(), pes(0x100, 10000, 10000), pes(0x100, 3610500, 3609900)}},
                            {"c.ts", {video_pmt(), pes(0x100, 20000, 15000), pes(0x100, 20000, 20000)}}});
    // a: all 16 stream entries used, masked and unmasked PIDs; b: an empty
    // table and no date (10704 days after 2009-01-01).
    build::QbxhFields f;
    f.program_number = 7;
    f.duration_s = 65535;
    f.start_hour = 23;
    f.start_minute = 59;
    f.mjd = build::mjd_from_date(2009, 12, 31);
    f.video_pid = 0xE100;
    f.audio_pid = 0x101;
    f.pcr_pid = 0x100;
    f.pmt_pid = 0xFFFF;
    const uint8_t types[16] = {0x02, 0x03, 0x04, 0x06, 0x1B, 0x81, 0xE0, 0xE2,
                               0xE3, 0x05, 0x00, 0x0F, 0x11, 0x24, 0x80, 0xFE};
    for (uint16_t i = 0; i < 16; ++i) f.streams.push_back({types[i], uint16_t(0x100 + i)});
    f.streams.back().pid = 0xE10F;
    auto tables = files({{"a.ts", {build::qbxh_packet(f)}}, {"b.ts", {build::qbxh_packet(build::QbxhFields{})}}});
    const ConsoleCase cases[] = {
        {"report_no_tables.out", no_tables, {"rec.ts"}},
        {"report_receiver_hex.out", receiver, {"-hex", "rec.ts"}},
        {"report_durations.out", durations, {"a.ts", "b.ts", "c.ts"}},
        {"report_qbxh_tables.out", tables, {"a.ts", "b.ts"}},
        {"report_berlin.out", rec({header(2009, 7, 1, 20, 15)}), {"rec.ts"}, "Europe/Berlin"},
    };
    for (const ConsoleCase& c : cases) check_console_case(c);
}

TEST(ListLineConsole, OneLinePerRecording) {
    // -fixqbx is not carried out in -list mode, not even on c.ts, which
    // lacks the header.
    const build::Packet winter = header(2009, 1, 1, 20, 15), chnm = build::qbx_packet("CHNM", "Sender Eins");
    auto four = files({{"rec.ts", {winter, chnm}},
                       {"b.ts", {winter}},
                       {"c.ts", {build::pat_packet({{1, 0x64}}), video_pmt(), pes(0x100, 10000, 10000),
                                 pes(0x100, 70000, 70000)}},
                       {"d.ts", {winter, build::qbx_packet("CHNM", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd")}}});
    auto summer_and_winter = files({{"rec.ts", {header(2009, 7, 1, 20, 15), chnm}}, {"w.ts", {winter}}});
    const ConsoleCase cases[] = {
        {"list_lines.out", four, {"-list", "rec.ts", "b.ts", "c.ts", "-fixqbx", "d.ts"}},
        {"list_berlin.out", summer_and_winter, {"-list", "rec.ts", "w.ts"}, "Europe/Berlin"},
    };
    for (const ConsoleCase& c : cases) check_console_case(c);
}

}  // namespace
}  // namespace varnek::test
