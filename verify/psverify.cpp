// psverify: replays program streams and MPEG-1 system streams through the
// decoder buffer model while they are parsed, and reports for each stream
// its buffer, its largest occupancy and every underflowing access unit and
// overflow episode.
//
//   psverify [--json] [--max-events N] FILE...
//   psverify --help | --version               (options.cpp)
//
// Exit status: 2 when a file cannot be read or holds no pack (the other
// files are still checked), else 1 when a modelled stream underflows or
// overflows, else 0.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "buffer_analysis_model.h"
#include "options.h"
#include "parser.h"

namespace {

// What is kept of one stream's events: the first max_events of them and
// how many there were.
struct stream_events_struct {
    std::vector<buffer_event_struct> shown;
    int64_t total = 0;
};

struct file_report_struct {
    std::string file;
    std::string error;  // empty when the file was checked
    int64_t packs = 0;
    int64_t unknown_stream_ids = 0;
    int64_t marker_errors = 0;
    std::map<std::string, stream_events_struct> events;  // by stream label
    bool conformant = true;
};

// The check in progress, for the parser's callbacks.
buffer_replay_struct* replay_now = nullptr;
file_report_struct* report_now = nullptr;
int64_t max_events_now = default_max_events;

void keep_event(const buffer_event_struct& event, void*) {
    stream_events_struct& kept = report_now->events[stream_label(event.stream_id, event.sub_stream_id)];
    ++kept.total;
    if (static_cast<int64_t>(kept.shown.size()) < max_events_now) kept.shown.push_back(event);
}

void observe_payload(const packet_struct& packet, const unsigned char* data, size_t n) {
    if (_current_pack) streaming_replay_payload(*replay_now, *_current_pack, packet, data, n);
}

// Takes a finished pack's clock if none of its packets did, counts its
// stream errors and frees it, so memory stays flat whatever the file size.
void verify_pack_sink(std::unique_ptr<pack_struct> pack) {
    streaming_replay_pack(*replay_now, *pack);
    ++report_now->packs;
    for (const packet_struct& packet : pack->packets)
        if (packet.stream_name.rfind("ERROR", 0) == 0) ++report_now->unknown_stream_ids;
}

// ---------------------------------------------------------------------------
// What the parser prints about the stream (its marker-bit messages) goes to
// standard error, counted, so that the report on standard output, and the
// JSON document, stay whole.

constexpr std::string_view marker_message = "Expecting marker bits";

struct parser_output_struct {
    std::string tail;  // the end of the last write, where a message may begin
};
parser_output_struct parser_output;

ssize_t forward_parser_output(void* ctx, const char* data, size_t n) {
    auto* po = static_cast<parser_output_struct*>(ctx);
    std::string text = po->tail;
    text.append(data, n);
    for (size_t at = text.find(marker_message); at != std::string::npos; at = text.find(marker_message, at + 1))
        if (report_now) ++report_now->marker_errors;
    po->tail = text.substr(text.size() > marker_message.size() - 1 ? text.size() - (marker_message.size() - 1) : 0);
    std::fwrite(data, 1, n, stderr);
    return static_cast<ssize_t>(n);
}

// ---------------------------------------------------------------------------
// Progress on a terminal, for files that take more than a second.

struct progress_struct {
    bool enabled = false;
    bool shown = false;
    int64_t size = 0;  // 0 when unknown
    std::string name;
    std::chrono::steady_clock::time_point start, last;
    uint32_t packs = 0;
};
progress_struct progress;

bool show_progress(int64_t position) {
    if (!progress.enabled || (++progress.packs & 1023) != 0) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - progress.start < std::chrono::seconds(1) || now - progress.last < std::chrono::milliseconds(200))
        return true;
    progress.last = now;
    progress.shown = true;
    if (progress.size > 0)
        std::fprintf(stderr, "\rpsverify: %s: %3d%%", progress.name.c_str(),
                     static_cast<int>(position * 100 / progress.size));
    else
        std::fprintf(stderr, "\rpsverify: %s: %" PRId64 " MB", progress.name.c_str(), position >> 20);
    std::fflush(stderr);
    return true;
}

void end_progress() {
    if (progress.shown) std::fprintf(stderr, "\r\033[K");
    progress.shown = false;
}

// ---------------------------------------------------------------------------
// One file.

void check_file(const std::string& path, buffer_replay_struct& rp, file_report_struct& report) {
    report.file = path;
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) {
        report.error = std::strerror(errno);
        return;
    }
    struct stat st;
    if (fstat(fileno(fp), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(fp);
        report.error = std::strerror(EISDIR);
        return;
    }
    progress.enabled = isatty(STDERR_FILENO);
    progress.size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
    progress.name = path;
    progress.start = progress.last = std::chrono::steady_clock::now();
    progress.packs = 0;

    rp = buffer_replay_struct{};
    rp.track_limit = max_tracked_streams;
    rp.event_hook = keep_event;
    begin_streaming_replay(rp);
    replay_now = &rp;
    report_now = &report;

    _mpeg_systems_format = 1;
    _mpeg_fp.attach(fp);
    scan_mpeg_stream();
    const bool read_error = _mpeg_fp.had_error();
    _mpeg_fp.close();
    end_progress();
    finish_buffer_events(rp);

    if (read_error)
        report.error = "read error";
    else if (report.packs == 0)
        report.error = "no pack found: not an ISO 11172-1 or ISO 13818-1 stream";
    if (!report.error.empty()) return;
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) {
        const buffer_occupancy_struct& r = rp.buffer_occupied[i];
        if (r.format != format_not_modelled && r.has_stamp && (r.underflow_units > 0 || r.overflow_episodes > 0))
            report.conformant = false;
    }
}

bool modelled(const buffer_occupancy_struct& r) { return r.format != format_not_modelled && r.has_stamp; }

double percent(const buffer_occupancy_struct& r) {
    return r.buffer_size > 0 ? 100.0 * r.largest_occupancy / r.buffer_size : 0.0;
}

// All events kept, in time order.
std::vector<buffer_event_struct> events_in_time_order(const file_report_struct& report) {
    std::vector<buffer_event_struct> all;
    for (const auto& [label, kept] : report.events) all.insert(all.end(), kept.shown.begin(), kept.shown.end());
    std::stable_sort(all.begin(), all.end(),
                     [](const buffer_event_struct& a, const buffer_event_struct& b) { return a.time < b.time; });
    return all;
}

// ---------------------------------------------------------------------------
// Text report.

void print_text(FILE* out, const file_report_struct& report, const buffer_replay_struct& rp) {
    std::fprintf(out, "%s: %" PRId64 " packs, %s\n", report.file.c_str(), report.packs,
                 report.conformant ? "conformant" : "NOT conformant");
    if (report.unknown_stream_ids > 0 || report.marker_errors > 0)
        std::fprintf(out, "  stream errors: %" PRId64 " packets with an unknown stream_id, %" PRId64 " failed marker checks\n",
                     report.unknown_stream_ids, report.marker_errors);
    std::fprintf(out, "  %-10s %-12s %8s  %-22s %15s %8s %10s %9s\n", "stream", "kind", "buffer", "buffer size from",
                 "largest", "units", "underflow", "overflow");
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) {
        const buffer_occupancy_struct& r = rp.buffer_occupied[i];
        const std::string label = stream_label(r.stream_id, r.sub_stream_id);
        const char* kind = stream_kind_name(r.stream_id, r.sub_stream_id);
        if (!modelled(r)) {
            std::fprintf(out, "  %-10s %-12s not modelled%s\n", label.c_str(), kind,
                         r.format == format_not_modelled ? "" : " (no time stamps)");
            continue;
        }
        char largest[48];
        std::snprintf(largest, sizeof largest, "%d %5.1f%%", r.largest_occupancy, percent(r));
        std::fprintf(out, "  %-10s %-12s %8d  %-22s %15s %8" PRId64 " %10" PRId64 " %9" PRId64 "\n", label.c_str(), kind,
                     r.buffer_size, buffer_size_source_name(r.size_source), largest, r.access_units, r.underflow_units,
                     r.overflow_episodes);
    }
    for (const buffer_event_struct& e : events_in_time_order(report))
        std::fprintf(out, "  %s\n", format_buffer_event(e).c_str());
    for (const auto& [label, kept] : report.events)
        if (kept.total > static_cast<int64_t>(kept.shown.size()))
            std::fprintf(out, "  ... %" PRId64 " more events of %s not shown\n",
                         kept.total - static_cast<int64_t>(kept.shown.size()), label.c_str());
}

// ---------------------------------------------------------------------------
// JSON report.

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

double seconds(int64_t ticks) { return static_cast<double>(ticks) / ticks_per_second; }

void print_json_event(FILE* out, const buffer_event_struct& e) {
    if (e.kind == buffer_event_struct::underflow)
        std::fprintf(out,
                     "{\"type\":\"underflow\",\"time\":%.6f,\"packet_offset\":%" PRId64 ",\"decoding_time_90khz\":%" PRIu64
                     ",\"late_bytes\":%d,\"lateness\":%.6f}",
                     seconds(e.time), e.packet_offset, e.decoding_stamp, e.late_bytes, seconds(e.lateness));
    else
        std::fprintf(out,
                     "{\"type\":\"overflow\",\"time\":%.6f,\"end_time\":%.6f,\"packet_offset\":%" PRId64
                     ",\"excess\":%d,\"buffer_size\":%d}",
                     seconds(e.time), seconds(e.end_time), e.packet_offset, e.excess, e.buffer_size);
}

void print_json_file(FILE* out, const file_report_struct& report, const buffer_replay_struct* rp) {
    std::fprintf(out, "{\"file\":%s,\"packs\":%" PRId64 ",\"conformant\":%s,\"error\":", json_string(report.file).c_str(),
                 report.packs, report.error.empty() && report.conformant ? "true" : "false");
    if (report.error.empty())
        std::fprintf(out, "null");
    else
        std::fprintf(out, "%s", json_string(report.error).c_str());
    std::fprintf(out, ",\"stream_errors\":%" PRId64 ",\"unknown_stream_ids\":%" PRId64 ",\"marker_errors\":%" PRId64
                      ",\"streams\":[",
                 report.unknown_stream_ids + report.marker_errors, report.unknown_stream_ids, report.marker_errors);
    const std::vector<buffer_event_struct> events = events_in_time_order(report);
    for (int i = 0; rp && i < rp->n_buffer_track_streams; ++i) {
        const buffer_occupancy_struct& r = rp->buffer_occupied[i];
        const std::string label = stream_label(r.stream_id, r.sub_stream_id);
        std::fprintf(out, "%s{\"stream_id\":%u,\"sub_stream_id\":", i ? "," : "", r.stream_id);
        if (r.sub_stream_id >= 0)
            std::fprintf(out, "%d", r.sub_stream_id);
        else
            std::fprintf(out, "null");
        std::fprintf(out,
                     ",\"label\":%s,\"kind\":%s,\"modelled\":%s,\"buffer_size\":%d,\"buffer_source\":%s,"
                     "\"largest_occupancy\":%d,\"largest_occupancy_percent\":%.1f,\"access_units\":%" PRId64
                     ",\"underflow_units\":%" PRId64 ",\"overflow_episodes\":%" PRId64 ",\"events\":[",
                     json_string(label).c_str(), json_string(stream_kind_name(r.stream_id, r.sub_stream_id)).c_str(),
                     modelled(r) ? "true" : "false", r.buffer_size,
                     json_string(buffer_size_source_name(r.size_source)).c_str(), r.largest_occupancy, percent(r),
                     r.access_units, r.underflow_units, r.overflow_episodes);
        bool first = true;
        for (const buffer_event_struct& e : events) {
            if (e.stream_id != r.stream_id || e.sub_stream_id != r.sub_stream_id) continue;
            if (!first) std::fputc(',', out);
            first = false;
            print_json_event(out, e);
        }
        int64_t hidden = 0;
        if (auto it = report.events.find(label); it != report.events.end())
            hidden = it->second.total - static_cast<int64_t>(it->second.shown.size());
        std::fprintf(out, "],\"events_not_shown\":%" PRId64 "}", hidden);
    }
    std::fprintf(out, "]}");
}

}  // namespace

int main(int argc, char** argv) {
    const options_struct options = parse_options(argc, argv);
    max_events_now = options.max_events;

    // The report goes to standard output; the parser's own messages go
    // through a stream of their own (see forward_parser_output).
    FILE* out = stdout;
    cookie_io_functions_t forward{nullptr, forward_parser_output, nullptr, nullptr};
    FILE* messages = fopencookie(&parser_output, "w", forward);
    if (!messages) {
        std::fprintf(stderr, "psverify: cannot set up the output: %s\n", std::strerror(errno));
        return 2;
    }
    setvbuf(messages, nullptr, _IOLBF, 0);
    stdout = messages;

    _export_is_text_dump = false;
    _export_CL_lisp = _export_elisp = false;
    _extract_streams = _streamable_extract_streams = false;
    _exit_on_stream_error = false;
    _quiet_parse = true;
    _pack_sink = verify_pack_sink;
    _payload_observer = observe_payload;
    _parse_progress_hook = show_progress;

    int status = 0;
    auto rp = std::make_unique<buffer_replay_struct>();
    if (options.json) std::fprintf(out, "{\"files\":[");
    for (size_t i = 0; i < options.files.size(); ++i) {
        file_report_struct report;
        check_file(options.files[i], *rp, report);
        std::fflush(messages);
        if (!report.error.empty()) {
            std::fprintf(stderr, "psverify: %s: %s\n", report.file.c_str(), report.error.c_str());
            status = 2;
        } else if (!report.conformant && status == 0) {
            status = 1;
        }
        if (options.json) {
            if (i) std::fputc(',', out);
            print_json_file(out, report, report.error.empty() ? rp.get() : nullptr);
        } else if (report.error.empty()) {
            print_text(out, report, *rp);
        }
    }
    if (options.json) std::fprintf(out, "]}\n");
    if (std::fflush(out) != 0 || std::ferror(out)) {
        std::fprintf(stderr, "psverify: write error: %s\n", std::strerror(errno));
        return 2;
    }
    return status;
}
