#include "report/json_report.h"

// No exceptions in this program: a JSON error would end it (texts are made
// valid UTF-8 before they go in, so none is expected).
#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "ts/packet.h"
#include "ts/qbx.h"
#include "util/output.h"
#include "util/text.h"

namespace varnek {

namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& object) {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

const char* scan_kind(const RunOptions& options) {
    return options.check ? "check" : options.all_packets ? "all" : "head-tail";
}

Json place(unsigned part, uint64_t offset) { return Json{{"part", part}, {"offset", offset}}; }

Json stream_rows(const StreamList& list) {
    Json rows = Json::array();
    for (const StreamEntry& e : list) {
        if (e.pid == 0) break;
        rows.push_back(Json{{"pid", e.pid}, {"type", e.type}, {"label", stream_type_name(e.type)}});
    }
    return rows;
}

Json header_object(const ScanState& state) {
    if (!state.stored_header) return nullptr;
    const uint8_t* r = state.stored_header.data();
    const std::string start = local_date_time(recording_start_time(r), 'T');
    Json streams = Json::array();
    for (unsigned i = 0; i < qbxh_stream_entries; ++i) {
        uint8_t type = qbxh_entry_type(r, i);
        if (type == qbxh_empty_type) break;
        streams.push_back(Json{{"pid", qbxh_entry_pid(r, i)}, {"type", type}, {"label", stream_type_name(type)}});
    }
    Json header = place(state.stored_header.part, state.stored_header.offset);
    header["program"] = qbxh_program(r);
    header["duration_s"] = qbxh_duration(r);
    header["start"] = start;
    header["pmt_pid"] = qbxh_pmt_pid(r);
    header["video_pid"] = qbxh_video_pid(r);
    header["audio_pid"] = qbxh_audio_pid(r);
    header["pcr_pid"] = qbxh_pcr_pid(r);
    header["streams"] = streams;
    header["channel"] = state.channel_seen ? Json(utf8_text(state.channel_name)) : Json(nullptr);
    return header;
}

Json pat_object(const ScanState& state) {
    if (!state.stored_pat) return nullptr;
    const uint8_t* p = state.stored_pat.data();
    // crc32 is the report's CRC32 line; crc_ok reads the section where the
    // pointer field puts it, as -check does.
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08X", unsigned(section_crc(p)));
    Json pat = place(state.stored_pat.part, state.stored_pat.offset);
    pat["crc32"] = crc;
    pat["crc_ok"] = section_crc_ok(pointed_section(p));
    return pat;
}

Json pmt_object(const ScanState& state, const Summary& summary) {
    if (!state.stored_pmt) return nullptr;
    const uint8_t* m = state.stored_pmt.data();
    Json pmt = place(state.stored_pmt.part, state.stored_pmt.offset);
    pmt["program"] = pmt_program_number(m);
    pmt["pid"] = packet_pid(m);
    pmt["pcr_pid"] = pmt_pcr_pid(m);
    pmt["streams"] = stream_rows(summary.stream_list);
    return pmt;
}

Json clock_object(uint32_t first, uint32_t last, uint32_t span) {
    if (first == 0) return nullptr;
    return Json{{"first_ms", first}, {"last_ms", last}, {"span_ms", span}};
}

Json pid_rows(const ScanState& state, const Summary& summary) {
    Json rows = Json::array();
    for (unsigned n = 0; n < pid_table_rows; ++n) {
        const PidSlot& slot = state.pid_table.rows[n];
        if (slot.key == no_pid_key) break;
        const RowSummary& row = summary.rows[n];
        rows.push_back(Json{{"pid", slot.key & 0x1FFF},
                            {"label", row.label},
                            {"packets", slot.count},
                            {"pts", clock_object(slot.first_pts, slot.last_pts, row.pts_span)},
                            {"pcr", clock_object(slot.first_pcr, slot.last_pcr, row.pcr_span)}});
    }
    return rows;
}

// The text of the first QBX packet of each tag, or null (all null without a scan).
Json texts_object(const ScanState* state) {
    static const char* const tags[3] = {"CHNM", "EVNT", "SHRT"};
    Json texts = Json::object();
    for (unsigned i = 0; i < 3; ++i)
        texts[tags[i]] = state && state->first_text_seen[i] ? Json(utf8_text(state->first_texts[i])) : Json(nullptr);
    return texts;
}

Json empty_recording(const char* name, const RunOptions& options) {
    return Json{{"recording", utf8_text(name)},
                {"parts", Json::array()},
                {"scan", scan_kind(options)},
                {"header", nullptr},
                {"last_qbx", nullptr},
                {"pat", nullptr},
                {"pmt", nullptr},
                {"pids", Json::array()},
                {"duration_s", nullptr},
                {"duration_from", nullptr},
                {"sync_losses", Json::array()},
                {"repairs", Json::array()},
                {"error", nullptr}};
}

// The repairs' messages and what -salvage: made.
void add_repairs(Json& o, const RepairSession& session) {
    for (const RepairNote& note : session.repair_notes)
        o["repairs"].push_back(Json{{"action", note.action}, {"ok", note.ok}, {"message", utf8_text(note.message)}});
    if (const std::optional<SalvageNote>& s = session.salvage_note) {
        Json added = Json::array();
        for (const std::string& what : s->added) added.push_back(what);
        o["salvage"] = Json{{"file", utf8_text(s->file)},
                            {"packets", s->packets},
                            {"left_out_bytes", s->left_out_bytes},
                            {"left_out_join_packets", s->left_out_join_packets},
                            {"added", added},
                            {"verdict", s->verdict.empty() ? Json(nullptr) : Json(s->verdict)}};
    }
}

Json check_counts(const std::array<uint64_t, check_kinds>& counts) {
    Json object = Json::object();
    for (unsigned k = 0; k < check_kinds; ++k) object[check_kind_name(CheckKind(k))] = counts[k];
    return object;
}

Json check_object(const CheckResult& result) {
    Json problems = Json::array();
    for (const CheckProblem& p : result.problems)
        problems.push_back(Json{{"kind", check_kind_name(p.kind)},
                                {"part", p.part},
                                {"offset", p.offset},
                                {"pid", p.pid >= 0 ? Json(p.pid) : Json(nullptr)},
                                {"time_ms", p.time_ms >= 0 ? Json(p.time_ms) : Json(nullptr)},
                                {"at_ms", p.at_ms >= 0 ? Json(p.at_ms) : Json(nullptr)},
                                {"detail", utf8_text(p.detail)}});
    Json pids = Json::array();
    for (const CheckPid& row : result.pids)
        pids.push_back(Json{{"pid", row.pid}, {"label", row.label}, {"packets", row.packets},
                            {"counts", check_counts(row.counts)}});
    return Json{{"verdict", check_verdict_name(result.verdict())},
                {"packets", result.packets},
                {"counts", check_counts(result.counts)},
                {"problems", problems},
                {"pids", pids}};
}

}  // namespace

std::string json_recording(const char* name, const ScanState& state, const Summary& summary,
                           const RunOptions& options, const CheckResult* check, const RepairSession* session) {
    Json o = empty_recording(name, options);
    for (const PartFile& part : state.parts)
        o["parts"].push_back(Json{{"name", utf8_text(part.name)},
                                  {"size", part.size >= 0 ? Json(part.size) : Json(nullptr)}});
    o["header"] = header_object(state);
    o["last_qbx"] = state.qbx_seen ? place(state.last_qbx_part, state.last_qbx_offset) : Json(nullptr);
    o["pat"] = pat_object(state);
    o["pmt"] = pmt_object(state, summary);
    o["pids"] = pid_rows(state, summary);
    o["duration_s"] = summary.duration;
    o["duration_from"] = summary.duration_from == DurationFrom::pts   ? Json("pts")
                         : summary.duration_from == DurationFrom::pcr ? Json("pcr")
                                                                      : Json(nullptr);
    for (const SyncLoss& loss : state.sync_losses)
        o["sync_losses"].push_back(Json{{"part", loss.part},
                                        {"offset", loss.offset},
                                        {"resync", loss.resynced ? Json(loss.resync) : Json(nullptr)}});
    if (check) o["check"] = check_object(*check);
    if (session) add_repairs(o, *session);
    // Last of all, behind -check's key too, so that every other key keeps its place.
    o["texts"] = texts_object(&state);
    return dump(o);
}

std::string json_unreadable(const char* name, const std::string& error, const RunOptions& options) {
    Json o = empty_recording(name, options);
    o["error"] = utf8_text(error);
    if (options.check) {
        // The check's verdict too: a file that cannot be opened is unreadable.
        CheckResult result;
        result.counts[unsigned(CheckKind::read_error)] = 1;
        result.problems.push_back(CheckProblem{CheckKind::read_error, 0, 0, -1, -1, -1, "the file cannot be opened"});
        o["check"] = check_object(result);
    }
    o["texts"] = texts_object(nullptr);
    return dump(o);
}

std::string json_check_summary(const CheckTally& tally) {
    return dump(Json{{"summary", Json{{"recordings", tally.recordings},
                                      {"intact", tally.of[unsigned(CheckVerdict::intact)]},
                                      {"damaged", tally.of[unsigned(CheckVerdict::damaged)]},
                                      {"unreadable", tally.of[unsigned(CheckVerdict::unreadable)]},
                                      {"not_ts", tally.of[unsigned(CheckVerdict::not_ts)]}}}});
}

std::string json_prn(const char* name, const ScanState& state, const RunOptions& options, const std::string& error) {
    Json texts = Json::array();
    for (const std::string& text : state.prn_texts) texts.push_back(utf8_text(text));
    Json o{{"recording", utf8_text(name)}, {"tag", utf8_text(options.prn_tag)}, {"texts", texts}};
    o["error"] = error.empty() ? Json(nullptr) : Json(utf8_text(error));
    return dump(o);
}

std::string json_undo(const char* name, size_t undone, bool dated, int64_t made, const std::string& error) {
    const Json from = dated ? Json(local_date_time(made, 'T')) : Json(nullptr);
    Json o{{"recording", utf8_text(name)}, {"undone", undone}, {"from", from}};
    o["error"] = error.empty() ? Json(nullptr) : Json(utf8_text(error));
    return dump(o);
}

}  // namespace varnek
