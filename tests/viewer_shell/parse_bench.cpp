// Parse of a big stream in the analyser, as bench/viewer_parse_bench.sh runs
// it: the plain parse as the analyser made it before (parser lines printed,
// to /dev/null, the window not served), against the parse from the Run
// dialog (quiet, the window served, the progress bar shown).  During the
// latter a 20 ms timer asks the main window to redraw: an event that comes
// in waits at most the longest gap between two runs of the timer (or from
// the last run to the end of the parse), and the redraw must be done within
// it.
//
// Usage: viewer_parse_bench STREAM [RUNS]   (needs a display)
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "model.h"
#include "parser.h"
#include "shell.h"

namespace {

gint64 last_tick = 0;        // last run of the timer
gint64 redraw_asked = 0;     // when the pending redraw was asked for, 0 when none
gint64 longest_wait = 0;     // longest gap between two timer runs, or redraw wait

gboolean ask_redraw(gpointer) {
    const gint64 now = g_get_monotonic_time();
    longest_wait = std::max(longest_wait, now - last_tick);
    last_tick = now;
    if (!redraw_asked) {
        redraw_asked = now;
        gtk_widget_queue_draw(main_app_window);
    }
    return G_SOURCE_CONTINUE;
}

gboolean redrawn(GtkWidget*, cairo_t*, gpointer) {
    if (redraw_asked) longest_wait = std::max(longest_wait, g_get_monotonic_time() - redraw_asked);
    redraw_asked = 0;
    return FALSE;
}

double seconds_since(gint64 start) { return static_cast<double>(g_get_monotonic_time() - start) / 1e6; }


const char* stream = nullptr;
int runs = 3;
int status = 0;

// The runs, inside the main loop as the Run dialog's OK is.
gboolean run_bench(gpointer) {
    gtk_main_quit();

    double before = 1e9, now = 1e9, wait_ms = 0;
    size_t packs = 0;
    for (int run = 0; run < runs; ++run) {
        // Before: every parser line printed, nothing served.
        std::FILE* console = std::freopen("/dev/null", "w", stdout);

        delete_parser_structs();
        gint64 start = g_get_monotonic_time();
        parse_mpeg_file(stream);
        before = std::min(before, seconds_since(start));
        packs = _all_packs_array.size();
        delete_parser_structs();
        if (console) std::fflush(console);

        // Now: as OK in the Run dialog parses; then once more with the
        // window asked to redraw every 20 ms.

        for (bool probing : {false, true}) {
            longest_wait = redraw_asked = 0;
            last_tick = g_get_monotonic_time();
            guint probe = probing ? g_timeout_add(20, ask_redraw, nullptr) : 0;
            start = g_get_monotonic_time();
            analysis_outcome outcome = analyse_stream_file(stream, true);
            if (!probing) now = std::min(now, seconds_since(start));
            if (probe) g_source_remove(probe);
            // A redraw still pending when the parse ended waited all along.
            const gint64 end = g_get_monotonic_time();
            if (probing) longest_wait = std::max(longest_wait, end - (redraw_asked ? redraw_asked : last_tick));
            wait_ms = std::max(wait_ms, static_cast<double>(longest_wait) / 1000.0);
            if (!outcome.ok) {
                std::fprintf(stderr, "%s\n", outcome.message.c_str());
                status = 2;
                return G_SOURCE_REMOVE;
            }
            delete_parser_structs();
        }
    }
    std::fprintf(stderr, "packs %zu\nparse before %.3f s\nparse now %.3f s\nlongest wait for the window %.1f ms\n", packs,
                 before, now, wait_ms);
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "usage: viewer_parse_bench STREAM [RUNS] (with a display)\n");
        return 2;
    }
    stream = argv[1];
    runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    add_main_toolbar();
    g_signal_connect(main_app_window, "draw", G_CALLBACK(redrawn), nullptr);
    analyze_new_stream();  // the dialog with its progress bar
    // The window is drawn once before the runs start.
    g_timeout_add(300, run_bench, nullptr);
    gtk_main();
    return status;
}
