// One analysis run: checks the named file, parses it beside the current
// model and makes the result current only when it holds packs.  A file that
// cannot be analysed, or a parse the user cancels, leaves the previous model
// and its stream file in place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "buffer_analysis_model.h"
#include "model.h"
#include "parser.h"
#include "shell.h"
#include "stream_format.h"

std::string analysed_file_name;
std::string buffer_verdict;
bool parse_in_progress = false;
bool parse_cancel_requested = false;
GtkWidget* parse_progress_bar = nullptr;
GtkWidget* viewer_message_dialog = nullptr;

namespace {

// The window is served this often while a parse runs, and the progress bar
// appears once a parse has taken this long.
constexpr gint64 dispatch_interval_us = 20 * 1000;
constexpr gint64 progress_delay_us = 500 * 1000;

struct progress_state {
    gint64 started = 0;
    gint64 last_dispatch = 0;
    int64_t file_size = 1;
};
progress_state progress;

// Packs between two looks at the clock: a pack takes a few microseconds at
// most, so the window is still served within the interval.
constexpr unsigned packs_per_clock_check = 32;

bool serve_window_during_parse(int64_t position) {
    static unsigned calls = 0;
    if (++calls % packs_per_clock_check != 0) return !parse_cancel_requested;
    const gint64 now = g_get_monotonic_time();
    if (now - progress.last_dispatch < dispatch_interval_us) return !parse_cancel_requested;
    progress.last_dispatch = now;
    if (parse_progress_bar && now - progress.started >= progress_delay_us) {
        double fraction = static_cast<double>(position) / static_cast<double>(progress.file_size);
        if (fraction > 1.0) fraction = 1.0;
        char text[32];
        std::snprintf(text, sizeof text, "%d %%", static_cast<int>(fraction * 100.0));
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(parse_progress_bar), fraction);
        gtk_progress_bar_set_text(GTK_PROGRESS_BAR(parse_progress_bar), text);
        gtk_widget_show(parse_progress_bar);
    }
    // Never blocks: only what is ready now is handled.
    while (gtk_events_pending() && !gtk_main_iteration_do(FALSE)) {
    }
    // The frame clock would paint only at its next frame, by which time the
    // parse has moved on: windows waiting for a redraw are painted now.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gdk_window_process_all_updates();
    G_GNUC_END_IGNORE_DEPRECATIONS
    return !parse_cancel_requested;
}

// Told from the first bytes of the file, as psdump tells it.
bool is_transport_stream(int fd) {
    std::vector<uint8_t> head(1 << 16);
    const ssize_t n = pread(fd, head.data(), head.size(), 0);
    if (n <= 0) return false;
    const stream_format format = detect_stream_format(head.data(), static_cast<size_t>(n));
    return format == stream_format::transport_188 || format == stream_format::transport_192;
}

bool starts_with_video_sequence_header(int fd) {
    unsigned char head[4];
    return pread(fd, head, sizeof head, 0) == 4 && head[0] == 0 && head[1] == 0 && head[2] == 1 && head[3] == 0xB3;
}

}  // namespace

analysis_outcome analyse_stream_file(const char* path, bool interactive) {
    analysis_outcome out;
    // Opened without blocking, and looked at before anything reads it: a
    // FIFO without a writer would otherwise hang the program in open.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        out.message = std::string("Could not open ") + path;
        out.detail = std::strerror(errno);
        if (fd >= 0) close(fd);
        return out;
    }
    if (S_ISDIR(st.st_mode)) {
        out.message = std::string("Could not open ") + path;
        out.detail = "It is a directory, not a stream file.";
        close(fd);
        return out;
    }
    if (!S_ISREG(st.st_mode)) {
        out.message = std::string("Cannot analyse ") + path + ": not a regular file";
        out.detail = "A pipe, FIFO or device can be read only once, and the buffer analysis reads the stream "
                     "again. Save the stream to a file and analyse that.";
        close(fd);
        return out;
    }
    if (is_transport_stream(fd)) {
        out.message = std::string(path) + " is a transport stream\nThe analyser's views read program streams; "
                      "psverify and psdump read transport streams.";
        close(fd);
        return out;
    }

    pack_list previous;
    previous.swap(_all_packs_array);
    const int32_t previous_format = _mpeg_systems_format;
    parsed_stream_struct previous_stream = set_aside_parsed_stream();

    clear_extraction_files();
    parse_in_progress = true;
    parse_cancel_requested = false;
    if (interactive) {
        progress.started = progress.last_dispatch = g_get_monotonic_time();
        progress.file_size = st.st_size > 0 ? st.st_size : 1;
        _parse_progress_hook = serve_window_during_parse;
    }
    // The parse reads the descriptor checked above: the file is opened once.
    parse_mpeg_fd(fcntl(fd, F_DUPFD_CLOEXEC, 0), path);
    _parse_progress_hook = nullptr;
    parse_in_progress = false;
    if (parse_progress_bar) gtk_widget_hide(parse_progress_bar);

    out.cancelled = _parse_cancelled;
    out.ok = !_parse_cancelled && !_all_packs_array.empty();
    if (!out.ok && !out.cancelled) {
        out.message = "Not an ISO 1172-1 or ISO 13818-1 stream";
        if (starts_with_video_sequence_header(fd)) out.message += "\nLooks like an MPEG video stream";
    }
    close(fd);

    if (out.ok) {
        analysed_file_name = path;
        buffer_verdict.clear();
        release_parsed_stream(previous_stream);
        return out;
    }
    _all_packs_array.clear();
    clear_extraction_files();
    restore_parsed_stream(previous_stream);
    _all_packs_array.swap(previous);
    _mpeg_systems_format = previous_format;
    return out;
}

void report_analysis_outcome(const analysis_outcome& outcome) {
    if (outcome.message.empty()) return;
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", outcome.message.c_str());
    if (viewer_message_dialog) gtk_widget_destroy(viewer_message_dialog);
    viewer_message_dialog = gtk_message_dialog_new(main_app_window ? GTK_WINDOW(main_app_window) : nullptr,
                                                   GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_ERROR,
                                                   GTK_BUTTONS_OK, "%s", outcome.message.c_str());
    gtk_window_set_title(GTK_WINDOW(viewer_message_dialog), "Tarvel");
    if (!outcome.detail.empty())
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(viewer_message_dialog), "%s",
                                                 outcome.detail.c_str());
    g_signal_connect(viewer_message_dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    g_signal_connect(viewer_message_dialog, "destroy", G_CALLBACK(gtk_widget_destroyed), &viewer_message_dialog);
    gtk_widget_show(viewer_message_dialog);
}

namespace {

// The sub-stream id that begins a program-stream private_stream_1 payload,
// read from the kept stream file; -1 when it cannot be read.
int private_stream_sub_id(const packet_struct& packet) {
    const int fd = parsed_stream_fd();
    if (fd < 0 || _mpeg_systems_format != 1 || packet.pes_header_data_length < 0) return -1;
    const int64_t payload = packet.starting_offset + 9 + packet.pes_header_data_length;
    unsigned char sub = 0;
    if (payload >= packet.ends_at || pread(fd, &sub, 1, static_cast<off_t>(payload)) != 1) return -1;
    return sub;
}

}  // namespace

std::string stream_summary(const std::string& file_name,
                           const pack_list& packs) {
    if (packs.empty()) return "No stream analysed";
    std::string base = file_name.substr(file_name.find_last_of('/') + 1);
    char line[256];
    // The SCR holds bits 31..0 of its base: the difference modulo 2^32 is
    // right across one wrap of those bits.
    const pack_struct& first = *packs[0];
    const pack_struct& last = *packs.back();
    const double ticks = static_cast<double>(static_cast<uint32_t>(last.scr - first.scr)) * 300.0 +
                         static_cast<double>(last.ext - first.ext);
    std::snprintf(line, sizeof line, "%s: %zu packs, %.3f s from first to last SCR", base.c_str(), packs.size(),
                  ticks / 27000000.0);
    std::string text = line;

    // Video and audio streams by their coding; private_stream_1 by the DVD
    // sub-stream its payload begins with; every other stream by its name.
    std::map<std::pair<int, int>, std::string> streams;
    for (const auto& pack : packs)
        for (const packet_struct& packet : pack->packets) {
            const int id = packet.stream_id;
            const int sub = id == 0xBD ? private_stream_sub_id(packet) : -1;
            if (streams.count({id, sub})) continue;
            const bool coded = (id >= 0xC0 && id <= 0xEF) || (id == 0xBD && sub >= 0);
            streams[{id, sub}] = coded ? stream_kind_name(id, sub)
                                       : packet.stream_name.empty() ? "unknown" : packet.stream_name;
        }
    text += "\nStreams:";
    const char* separator = " ";
    for (const auto& [key, kind] : streams) {
        std::snprintf(line, sizeof line, "%s%s %s", separator, stream_label(key.first, key.second).c_str(),
                      kind.c_str());
        text += line;
        separator = ", ";
    }
    if (streams.empty()) text += " none";
    return text;
}
