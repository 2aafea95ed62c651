// psverify on a transport stream: the T-STD replay (analysis/ts/), its text
// report (one row per PID and buffer) and its JSON.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "es/es_kind.h"
#include "json_string.h"
#include "psi.h"
#include "report.h"
#include "ticks.h"

namespace {

// Counts the driving reader's stream errors by kind.
struct error_counter : ts_observer {
    file_report_struct* report;
    explicit error_counter(file_report_struct& r) : report(&r) {}
    void on_error(const ts_reader&, const stream_error& e) override { ++report->ts_errors[stream_error_kind_name(e.kind)]; }
};

bool modelled(const tstd_stream_result& r) { return r.status == tstd_status::modelled; }

int64_t not_modelled(const tstd_report& t) {
    return std::count_if(t.streams.begin(), t.streams.end(), [](const tstd_stream_result& r) { return !modelled(r); });
}

int64_t stream_errors(const file_report_struct& report) {
    int64_t n = 0;
    for (const auto& [kind, count] : report.ts_errors) n += count;
    return n;
}

std::string pid_label(uint32_t id) {
    if (id == tstd_system_id) return "system";
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", id);
    return text;
}

const char* why_not(const tstd_stream_result& r) {
    switch (r.status) {
    case tstd_status::no_pcr: return "not verified: no PCR in its program";
    case tstd_status::no_stamps: return "not modelled (no time stamps)";
    case tstd_status::no_data: return "not modelled (no data)";
    default: return "not modelled";
    }
}


std::string event_text(const buffer_event_struct& e) {
    const std::string who = std::string(buffer_stage_name(e.stage)) +
                            (e.stream_id == tstd_system_id ? std::string() : " of " + pid_label(e.stream_id));
    char line[360];
    switch (e.kind) {
    case buffer_event_struct::underflow:
        std::snprintf(line, sizeof line,
                      "Underflow in %s at %.6f s: access unit decoded at %" PRIu64
                      " (90 kHz), %d bytes late, the last by %.6f s (packet at 0x%" PRIx64 ")",
                      who.c_str(), ticks_to_seconds(e.time), e.decoding_stamp, e.late_bytes, ticks_to_seconds(e.lateness),
                      static_cast<uint64_t>(e.packet_offset));
        break;
    case buffer_event_struct::overflow:
        std::snprintf(line, sizeof line,
                      "Overflow in %s from %.6f s to %.6f s: up to %d bytes above its %d-byte buffer (packet at 0x%" PRIx64
                      ")",
                      who.c_str(), ticks_to_seconds(e.time), ticks_to_seconds(e.end_time), e.excess, e.buffer_size,
                      static_cast<uint64_t>(e.packet_offset));
        break;
    case buffer_event_struct::tb_not_empty:
        std::snprintf(line, sizeof line, "%s not empty from %.6f s to %.6f s, more than a second (packet at 0x%" PRIx64 ")",
                      who.c_str(), ticks_to_seconds(e.time), ticks_to_seconds(e.end_time), static_cast<uint64_t>(e.packet_offset));
        break;
    case buffer_event_struct::long_stay:
        std::snprintf(line, sizeof line,
                      "Long stay in %s: access unit decoded at %" PRIu64
                      " (90 kHz) stays %.6f s from its arrival at %.6f s (packet at 0x%" PRIx64 ")",
                      who.c_str(), e.decoding_stamp, ticks_to_seconds(e.lateness), ticks_to_seconds(e.time),
                      static_cast<uint64_t>(e.packet_offset));
        break;
    }
    return line;
}

std::string largest_text(const tstd_buffer_summary& b) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 " %5.1f%%", b.largest,
                  b.size > 0 ? 100.0 * static_cast<double>(b.largest) / static_cast<double>(b.size) : 0.0);
    return text;
}

}  // namespace

void check_transport_stream(FILE* fp, const uint8_t* head, size_t head_n, stream_format format,
                            const tstd_settings& settings, file_report_struct& report,
                            void (*progress)(int64_t position, void* ctx)) {
    report.format = format;
    report.ts = std::make_unique<tstd_replay>(settings, keep_event, nullptr);
    error_counter errors(report);
    if (!report.ts->run(fp, head, head_n, format, &errors, progress, nullptr)) {
        report.error = "read error";
        return;
    }
    const tstd_report& t = report.ts->report();
    if (t.pcr_pids == 0) {
        report.error = "a transport stream without PCR: no arrival times, nothing can be verified";
        return;
    }
    report.conformant = !t.system.violations();
    for (const tstd_stream_result& r : t.streams)
        if (r.violations()) report.conformant = false;
}

void print_ts_text(FILE* out, const file_report_struct& report) {
    const tstd_report& t = report.ts->report();
    const int64_t unmodelled = not_modelled(t);
    std::string verdict = report.conformant ? "conformant" : "NOT conformant";
    if (unmodelled > 0)
        verdict += ", " + std::to_string(unmodelled) + (unmodelled == 1 ? " stream" : " streams") + " not modelled";
    else if (t.streams.empty())
        verdict += ", no stream modelled";
    std::fprintf(out, "%s: %" PRId64 " transport packets%s, %s\n", report.file.c_str(), t.ts_packets,
                 report.format == stream_format::transport_192 ? " of 192 bytes" : "", verdict.c_str());
    if (!report.ts_errors.empty()) {
        std::string list;
        for (const auto& [kind, count] : report.ts_errors)
            list += (list.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
        std::fprintf(out, "  stream errors: %s\n", list.c_str());
    }
    std::fprintf(out, "  %-7s %-5s %-13s %-6s %9s %16s %9s\n", "pid", "type", "kind", "buffer", "size", "largest",
                 "overflow");
    for (const tstd_stream_result& r : t.streams) {
        char type[8];
        std::snprintf(type, sizeof type, "0x%02x", r.stream_type);
        const std::string label = pid_label(r.pid);
        if (!modelled(r)) {
            std::fprintf(out, "  %-7s %-5s %-13s %s\n", label.c_str(), type, es_kind_name(r.kind), why_not(r));
            continue;
        }
        bool first = true;
        for (const tstd_buffer_summary& b : r.buffers) {
            std::string note;
            if (b.stage == stage_tb) {
                note = std::string("sizes from ") + r.params_from;
                if (r.tb_not_empty > 0) note += "; not empty for over a second " + std::to_string(r.tb_not_empty) + "x";
            } else if (b.stage == stage_eb || b.stage == stage_b) {
                note = std::to_string(r.access_units) + " units, " + std::to_string(r.underflow_units) + " underflow";
                if (r.long_stays > 0) note += ", " + std::to_string(r.long_stays) + " stay too long";
            }
            std::fprintf(out, "  %-7s %-5s %-13s %-6s %9" PRId64 " %16s %9" PRId64 "%s%s\n", first ? label.c_str() : "",
                         first ? type : "", first ? es_kind_name(r.kind) : "", buffer_stage_name(b.stage), b.size,
                         largest_text(b).c_str(), b.overflow_episodes, note.empty() ? "" : "  ", note.c_str());
            first = false;
        }
        if (r.untimed_packets > 0)
            std::fprintf(out, "  %-7s %-5s %-13s %" PRId64 " packets before the first PCR not replayed\n", "", "", "",
                         r.untimed_packets);
    }
    if (t.system.timed) {
        bool first = true;
        for (const tstd_buffer_summary& b : t.system.buffers) {
            std::string note;
            if (b.stage == stage_tbsys && t.system.tb_not_empty > 0)
                note = "not empty for over a second " + std::to_string(t.system.tb_not_empty) + "x";
            std::fprintf(out, "  %-7s %-5s %-13s %-6s %9" PRId64 " %16s %9" PRId64 "%s%s\n", first ? "system" : "", "",
                         first ? "PSI" : "", buffer_stage_name(b.stage), b.size, largest_text(b).c_str(),
                         b.overflow_episodes, note.empty() ? "" : "  ", note.c_str());
            first = false;
        }
    }
    for (const buffer_event_struct& e : events_in_time_order(report)) std::fprintf(out, "  %s\n", event_text(e).c_str());
    for (const auto& [label, kept] : report.events)
        if (kept.total > static_cast<int64_t>(kept.shown.size()))
            std::fprintf(out, "  ... %" PRId64 " more events of %s not shown\n",
                         kept.total - static_cast<int64_t>(kept.shown.size()),
                         label == stream_label(tstd_system_id, -1) ? "system" : label.c_str());
}

namespace {

void print_json_buffers(FILE* out, const std::vector<tstd_buffer_summary>& buffers) {
    std::fputs("\"buffers\":{", out);
    for (size_t i = 0; i < buffers.size(); ++i) {
        const tstd_buffer_summary& b = buffers[i];
        std::fprintf(out, "%s\"%s\":{\"size\":%" PRId64 ",\"largest\":%" PRId64 ",\"overflow_episodes\":%" PRId64 "}",
                     i ? "," : "", buffer_stage_name(b.stage), b.size, b.largest, b.overflow_episodes);
    }
    std::fputc('}', out);
}

// The events of stream `id` among `events` (all, in time order).
void print_json_events(FILE* out, const file_report_struct& report, const std::vector<buffer_event_struct>& events,
                       uint32_t id) {
    std::fputs("\"events\":[", out);
    bool first = true;
    for (const buffer_event_struct& e : events) {
        if (e.stream_id != id) continue;
        if (!first) std::fputc(',', out);
        first = false;
        print_json_event(out, e, true);
    }
    std::fprintf(out, "],\"events_not_shown\":%" PRId64, events_not_shown(report, stream_label(id, -1)));
}

}  // namespace

void print_ts_json(FILE* out, const file_report_struct& report) {
    const bool checked = report.error.empty();
    std::fprintf(out, "{\"file\":%s,\"format\":\"%s\",\"conformant\":%s,\"error\":", json_string(report.file).c_str(),
                 report.format == stream_format::transport_192 ? "transport_192" : "transport_188",
                 checked && report.conformant ? "true" : "false");
    if (checked)
        std::fputs("null", out);
    else
        std::fputs(json_string(report.error).c_str(), out);
    const tstd_report* t = report.ts ? &report.ts->report() : nullptr;
    std::fprintf(out, ",\"ts_packets\":%" PRId64 ",\"stream_errors\":%" PRId64 ",\"stream_errors_by_kind\":{",
                 t ? t->ts_packets : 0, stream_errors(report));
    bool first = true;
    for (const auto& [kind, count] : report.ts_errors) {
        std::fprintf(out, "%s%s:%" PRId64, first ? "" : ",", json_string(kind).c_str(), count);
        first = false;
    }
    std::fprintf(out, "},\"streams_not_modelled\":%" PRId64 ",\"streams\":[", t && checked ? not_modelled(*t) : 0);
    const std::vector<buffer_event_struct> events = events_in_time_order(report);
    for (size_t i = 0; t && checked && i < t->streams.size(); ++i) {
        const tstd_stream_result& r = t->streams[i];
        std::fprintf(out,
                     "%s{\"pid\":%u,\"stream_type\":%u,\"program_number\":%u,\"pcr_pid\":%u,\"label\":%s,\"kind\":%s,"
                     "\"modelled\":%s,\"status\":%s,\"buffer_source\":%s,\"ts_packets\":%" PRId64
                     ",\"untimed_packets\":%" PRId64 ",\"access_units\":%" PRId64 ",\"underflow_units\":%" PRId64
                     ",\"overflow_episodes\":%" PRId64 ",\"tb_not_empty\":%" PRId64 ",\"long_stays\":%" PRId64 ",",
                     i ? "," : "", r.pid, r.stream_type, r.program_number, r.pcr_pid, json_string(pid_label(r.pid)).c_str(),
                     json_string(es_kind_name(r.kind)).c_str(), modelled(r) ? "true" : "false",
                     json_string(tstd_status_name(r.status)).c_str(),
                     modelled(r) ? json_string(r.params_from).c_str() : "null", r.ts_packets, r.untimed_packets,
                     r.access_units, r.underflow_units, r.overflow_episodes(), r.tb_not_empty, r.long_stays);
        print_json_buffers(out, r.buffers);
        std::fputc(',', out);
        print_json_events(out, report, events, r.pid);
        std::fputc('}', out);
    }
    std::fputs("]", out);
    if (t && checked && t->system.timed) {
        std::fprintf(out, ",\"system\":{\"ts_packets\":%" PRId64 ",\"tb_not_empty\":%" PRId64 ",", t->system.ts_packets,
                     t->system.tb_not_empty);
        print_json_buffers(out, t->system.buffers);
        std::fputc(',', out);
        print_json_events(out, report, events, tstd_system_id);
        std::fputc('}', out);
    } else {
        std::fputs(",\"system\":null", out);
    }
    std::fputc('}', out);
}
