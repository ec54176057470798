// -check's text lines: the problems, the table of PIDs and the verdict.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "report/check_text.h"
#include "ts/packet.h"
#include "util/output.h"

namespace varnek {

namespace {

// A time of milliseconds as hh:mm:ss.mmm; unknown ones as dashes.
std::string clock_text(int64_t ms) {
    if (ms < 0) return "--:--:--.---";
    return ms == 0 ? "00:00:00.000" : format_ms(uint32_t(ms));
}

unsigned digits(uint64_t n) {
    unsigned d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

// Each PID with its label, packets and the kinds of problem that the
// recording has on any PID.
void print_pid_table(const CheckResult& result) {
    std::FILE* out = console().out;
    std::vector<std::pair<unsigned, int>> columns;  // kind and width
    uint64_t most_packets = 0;
    for (const CheckPid& row : result.pids) most_packets = std::max(most_packets, row.packets);
    for (unsigned k = 0; k < check_kinds; ++k) {
        uint64_t most = 0;
        for (const CheckPid& row : result.pids) most = std::max(most, row.counts[k]);
        if (most != 0)
            columns.emplace_back(k, int(std::max<size_t>(std::strlen(check_kind_name(CheckKind(k))), digits(most))));
    }
    const int packets_width = int(std::max(7u, digits(most_packets)));
    std::fprintf(out, "%5s %-11s %*s", "PID", "label", packets_width, "packets");
    for (const auto& [k, width] : columns) std::fprintf(out, " %*s", width, check_kind_name(CheckKind(k)));
    std::fputs("\n", out);
    for (const CheckPid& row : result.pids) {
        std::fprintf(out, "%5u %-11s %*llu", row.pid, row.label, packets_width,
                     static_cast<unsigned long long>(row.packets));
        for (const auto& [k, width] : columns)
            std::fprintf(out, " %*llu", width, static_cast<unsigned long long>(row.counts[k]));
        std::fputs("\n", out);
    }
}

}  // namespace

void print_check(const char* name, const ScanState& state, const CheckResult& result) {
    std::FILE* out = console().out;
    const std::string recording = shown(name, out);
    const CheckVerdict verdict = result.verdict();
    if (verdict == CheckVerdict::not_ts) {
        std::fprintf(out, "'%s': not a transport stream\n", recording.c_str());
        return;
    }
    constexpr unsigned shown_per_kind = 20;
    std::array<unsigned, check_kinds> listed{};
    for (const CheckProblem& problem : result.problems) {
        unsigned k = unsigned(problem.kind);
        if (listed[k]++ >= shown_per_kind) continue;
        const std::string detail = shown(problem.detail, out);
        if (!check_kind_located(problem.kind)) {
            std::fprintf(out, "'%s': %s: %s\n", recording.c_str(), check_kind_name(problem.kind), detail.c_str());
            continue;
        }
        // The recording time leads: where a player shows the damage.
        const std::string& part = state.parts[problem.part].name;
        std::fprintf(out, "%s '%s' offset 0x%llX packet %llu", clock_text(problem.at_ms).c_str(),
                     shown(part, out).c_str(), static_cast<unsigned long long>(problem.offset),
                     static_cast<unsigned long long>(problem.offset / packet_size));
        if (problem.time_ms >= 0) std::fprintf(out, " time %s", clock_text(problem.time_ms).c_str());
        if (problem.pid >= 0) std::fprintf(out, " PID %d", problem.pid);
        std::fprintf(out, ": %s: %s\n", check_kind_name(problem.kind), detail.c_str());
    }
    for (unsigned k = 0; k < check_kinds; ++k)
        if (result.counts[k] > shown_per_kind)
            std::fprintf(out, "'%s': %llu more %s problems\n", recording.c_str(),
                         static_cast<unsigned long long>(result.counts[k] - shown_per_kind),
                         check_kind_name(CheckKind(k)));
    if (verdict == CheckVerdict::intact) {
        std::fprintf(out, "'%s': intact (%llu packets, %s)\n", recording.c_str(),
                     static_cast<unsigned long long>(result.packets),
                     format_hms(uint32_t(result.measured_ms > 0 ? result.measured_ms / 1000 : 0)));
        return;
    }
    print_pid_table(result);
    std::fprintf(out, "'%s': %s:", recording.c_str(), verdict == CheckVerdict::damaged ? "damaged" : "unreadable");
    const char* separator = " ";
    for (unsigned k = 0; k < check_kinds; ++k) {
        if (result.counts[k] == 0) continue;
        std::fprintf(out, "%s%llu %s", separator, static_cast<unsigned long long>(result.counts[k]),
                     check_kind_name(CheckKind(k)));
        separator = ", ";
    }
    std::fputs("\n", out);
}

void print_check_summary(const CheckTally& tally) {
    std::fprintf(console().out, "%u recordings: %u intact, %u damaged, %u unreadable", tally.recordings,
                 tally.of[unsigned(CheckVerdict::intact)], tally.of[unsigned(CheckVerdict::damaged)],
                 tally.of[unsigned(CheckVerdict::unreadable)]);
    if (tally.of[unsigned(CheckVerdict::not_ts)] != 0)
        std::fprintf(console().out, ", %u not a transport stream", tally.of[unsigned(CheckVerdict::not_ts)]);
    std::fputs("\n", console().out);
}

}  // namespace varnek
