// psverify: replays program streams and MPEG-1 system streams through the
// decoder buffer model while they are parsed, and reports for each stream
// its buffer, its largest occupancy and every underflowing access unit and
// overflow episode.  Transport streams go through the T-STD instead
// (ts_report.cpp).
//
//   psverify [--json] [--dvb] [--max-events N] [--files-from LIST] FILE...
//   psverify --help | --version               (options.cpp)
//
// Exit status: 2 when a file cannot be read or checked (no pack, or a
// transport stream without PCR; the other files are still checked), else 1
// when a modelled stream breaks its buffer model, else 0.
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
#include "json_string.h"
#include "options.h"
#include "report.h"
#include "ps_reader.h"
#include "stream_format.h"

namespace {

// The check in progress, for the parser's callbacks.
file_report_struct* report_now = nullptr;
int64_t max_events_now = default_max_events;
bool dvb_now = false;

}  // namespace

void keep_event(const buffer_event_struct& event, void*) {
    stream_events_struct& kept = report_now->events[stream_label(event.stream_id, event.sub_stream_id)];
    ++kept.total;
    if (static_cast<int64_t>(kept.shown.size()) < max_events_now) kept.shown.push_back(event);
}

namespace {

// Follows one file's reader: each pack's clock and system headers, each
// payload block as it is read (so nothing waits for the end of a pack), and
// the stream errors, which are counted and told on standard error.
struct verify_observer : streaming_replay_observer {
    verify_observer(buffer_replay_struct& replay, file_report_struct& r) : streaming_replay_observer(replay), report(&r) {}
    file_report_struct* report;

    void pack_end(const ps_reader&, const pack_struct&) override { ++report->packs; }
    void error(const ps_reader&, const stream_error& e) override {
        if (e.kind == stream_error_kind::unknown_stream_id) {
            ++report->unknown_stream_ids;
        } else {
            ++report->marker_errors;
            std::fprintf(stderr, "\nError\n %s", e.message.c_str());
        }
    }
};

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

    // A fresh replay for each file (it is large: built in place, not on the stack).
    std::destroy_at(&rp);
    std::construct_at(&rp);
    rp.track_limit = max_tracked_streams;
    rp.event_hook = keep_event;
    begin_streaming_replay(rp);
    report_now = &report;

    ps_reader reader;
    verify_observer observer(rp, report);
    reader.add_observer(&observer);
    reader.progress = show_progress;
    // The format by the content, from a head read once (the file may be a
    // pipe): a transport stream is said to be one, not taken for a program
    // stream without packs.
    static unsigned char head[1 << 16];
    const size_t head_n = std::fread(head, 1, sizeof head, fp);
    const stream_format format = detect_stream_format(head, head_n);
    if (format == stream_format::transport_188 || format == stream_format::transport_192) {
        tstd_settings settings;
        settings.dvb_ac3 = dvb_now;
        check_transport_stream(fp, head, head_n, format, settings, report, [](int64_t position, void*) {
            show_progress(position);
        });
        std::fclose(fp);
        end_progress();
        return;
    }
    reader.parse(fp, head, head_n);
    const bool read_error = reader.read_error();
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

// ---------------------------------------------------------------------------
// Text report.

// Streams with a row but no verdict of their own: a coding the model does
// not know, or no time stamps.
int64_t streams_not_modelled(const buffer_replay_struct& rp) {
    int64_t n = 0;
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) n += modelled(rp.buffer_occupied[i]) ? 0 : 1;
    return n;
}

void print_text(FILE* out, const file_report_struct& report, const buffer_replay_struct& rp) {
    const int64_t unmodelled = streams_not_modelled(rp);
    std::string verdict = report.conformant ? "conformant" : "NOT conformant";
    if (unmodelled > 0)
        verdict += ", " + std::to_string(unmodelled) + (unmodelled == 1 ? " stream" : " streams") + " not modelled";
    else if (rp.n_buffer_track_streams == 0)
        verdict += ", no stream modelled";
    std::fprintf(out, "%s: %" PRId64 " packs, %s\n", report.file.c_str(), report.packs, verdict.c_str());
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


void print_json_file(FILE* out, const file_report_struct& report, const buffer_replay_struct* rp) {
    std::fprintf(out, "{\"file\":%s,\"packs\":%" PRId64 ",\"conformant\":%s,\"error\":", json_string(report.file).c_str(),
                 report.packs, report.error.empty() && report.conformant ? "true" : "false");
    if (report.error.empty())
        std::fprintf(out, "null");
    else
        std::fprintf(out, "%s", json_string(report.error).c_str());
    std::fprintf(out, ",\"stream_errors\":%" PRId64 ",\"unknown_stream_ids\":%" PRId64 ",\"marker_errors\":%" PRId64,
                 report.unknown_stream_ids + report.marker_errors, report.unknown_stream_ids, report.marker_errors);
    std::fprintf(out, ",\"streams_not_modelled\":%" PRId64 ",\"streams\":[", rp ? streams_not_modelled(*rp) : 0);
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
            print_json_event(out, e, false);
        }
        std::fprintf(out, "],\"events_not_shown\":%" PRId64 "}", events_not_shown(report, label));
    }
    std::fprintf(out, "]}");
}

}  // namespace

int main(int argc, char** argv) {
    const options_struct options = parse_options(argc, argv);
    max_events_now = options.max_events;
    dvb_now = options.dvb;

    FILE* out = stdout;
    bool list_failed = false;

    // The files to check: those of the command line, then those the list
    // names, one per line, read as the check goes.
    FILE* list = nullptr;
    if (!options.files_from.empty()) {
        list = options.files_from == "-" ? stdin : std::fopen(options.files_from.c_str(), "r");
        if (!list) {
            std::fprintf(stderr, "psverify: %s: %s\n", options.files_from.c_str(), std::strerror(errno));
            return 2;
        }
    }
    size_t next_argument = 0;
    std::string listed;
    auto next_file = [&](std::string& name) {
        if (next_argument < options.files.size()) {
            name = options.files[next_argument++];
            return true;
        }
        while (list) {
            listed.clear();
            int c;
            while ((c = std::getc(list)) != EOF && c != '\n') listed += static_cast<char>(c);
            if (c == EOF && listed.empty()) {
                if (std::ferror(list)) {
                    std::fprintf(stderr, "psverify: %s: read error\n", options.files_from.c_str());
                    list_failed = true;
                }
                if (list != stdin) std::fclose(list);
                list = nullptr;
                break;
            }
            if (!listed.empty() && listed.back() == '\r') listed.pop_back();
            if (listed.empty()) continue;  // blank lines name no file
            name = listed;
            return true;
        }
        return false;
    };

    int status = 0;
    auto rp = std::make_unique<buffer_replay_struct>();
    if (options.json) std::fprintf(out, "{\"files\":[");
    std::string name;
    for (size_t i = 0; next_file(name); ++i) {
        file_report_struct report;
        check_file(name, *rp, report);
        if (!report.error.empty()) {
            std::fprintf(stderr, "psverify: %s: %s\n", report.file.c_str(), report.error.c_str());
            status = 2;
        } else if (!report.conformant && status == 0) {
            status = 1;
        }
        if (options.json) {
            if (i) std::fputc(',', out);
            if (report.ts)
                print_ts_json(out, report);
            else
                print_json_file(out, report, report.error.empty() ? rp.get() : nullptr);
        } else if (report.error.empty()) {
            if (report.ts)
                print_ts_text(out, report);
            else
                print_text(out, report, *rp);
        }
    }
    if (options.json) std::fprintf(out, "]}\n");
    if (list_failed) status = 2;
    if (std::fflush(out) != 0 || std::ferror(out)) {
        std::fprintf(stderr, "psverify: write error: %s\n", std::strerror(errno));
        return 2;
    }
    return status;
}
