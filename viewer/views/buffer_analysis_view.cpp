// P-STD / STD buffer analysis window.  The replay runs inside an idle
// function and dispatches GUI events itself between packs, so the buttons,
// the redraw timer and the drawing handlers run nested in it; they meet it
// only through the run state of its replay, which each opening of the
// window has of its own.
#include "buffer_analysis_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "parser.h"

bool buffer_analysis_view_instantiated = false;
void (*buffer_analysis_verdict_hook)(const char* verdict) = nullptr;
GtkWidget* buffer_analysis_view_widget = nullptr;
guint analysis_timer_id = 0;

namespace {

constexpr const char* graph_key = "buffer-graph";
constexpr const char* view_key = "buffer-view";
constexpr const char* running_key = "replay-running";
constexpr double font_size = 12.0;
// Events dispatched at most between two packs, so that a source that is
// always ready cannot hold the replay up for good.
constexpr int max_dispatches_per_pack = 1000;

// What one opening of the window owns.
struct buffer_view_struct {
    std::shared_ptr<buffer_replay_struct> replay;
    std::vector<std::unique_ptr<buffer_graph_struct>> graphs;
    GtkWidget* play_button = nullptr;
};

void delete_view(gpointer data) { delete static_cast<buffer_view_struct*>(data); }
void delete_replay_handle(gpointer data) { delete static_cast<std::shared_ptr<buffer_replay_struct>*>(data); }

buffer_view_struct* view_of(GtkWidget* window) {
    return window ? static_cast<buffer_view_struct*>(g_object_get_data(G_OBJECT(window), view_key)) : nullptr;
}

void set_colour(cairo_t* cr, const graph_colour& c) {
    cairo_set_source_rgb(cr, c.red / 65535.0, c.green / 65535.0, c.blue / 65535.0);
}

void draw_text(cairo_t* cr, double x, double y, const char* text) {
    cairo_set_source_rgb(cr, graph_text_grey, graph_text_grey, graph_text_grey);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, text);
}

// A level: a line across the width on its row and its value at x 0.
void draw_level(cairo_t* cr, int width, int height, float bytes_per_pixel, int32_t value, const graph_colour& c) {
    const int y = graph_row(value, bytes_per_pixel, height);
    set_colour(cr, c);
    cairo_move_to(cr, 0, y + 0.5);
    cairo_line_to(cr, width, y + 0.5);
    cairo_stroke(cr);
    char text[32];
    std::snprintf(text, sizeof text, "%d", value);
    draw_text(cr, 0, y, text);
}

// The screen size a graph is fitted to: the work area of the primary
// monitor (or of the first one).
void screen_size(int& width, int& height) {
    width = 1024;
    height = 768;
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return;
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return;
    GdkRectangle area;
    gdk_monitor_get_workarea(monitor, &area);
    width = area.width;
    height = area.height;
}

void release_back_buffer(buffer_graph_struct* graph) {
    if (graph->back_buffer) cairo_surface_destroy(graph->back_buffer);
    graph->back_buffer = nullptr;
}

// Dispatches the GUI events that are ready now.
void dispatch_pending_events() {
    for (int i = 0; i < max_dispatches_per_pack && gtk_events_pending(); ++i) gtk_main_iteration_do(FALSE);
}

bool replay_goes_on(const buffer_replay_struct& rp) {
    return rp.window_open && rp.analysis_state != analysis_closed;
}

}  // namespace

// ---------------------------------------------------------------------------
// Geometry and drawing.

float graph_bytes_per_pixel(int32_t buffer_size, int height) {
    float bytes_per_pixel = static_cast<float>(buffer_size / (height * 0.9));
    // A buffer size of 0 (or a graph without height) still draws.
    return bytes_per_pixel > 0 && std::isfinite(bytes_per_pixel) ? bytes_per_pixel : 1.0f;
}

int graph_row(int64_t value, float bytes_per_pixel, int height) {
    float pixels = static_cast<float>(value) / bytes_per_pixel;
    // Far off the graph either way: keep the row within int range.
    if (!(pixels < 1e7f)) pixels = 1e7f;
    if (pixels < -1e7f) pixels = -1e7f;
    // Row `height` lies below the graph: what would go there (an empty
    // buffer) is drawn on the bottom row.
    return std::min(height - static_cast<int>(pixels), height - 1);
}

int graph_column(int n, int width) {
    const float step = width / 100.0f;
    return static_cast<int>(step * static_cast<float>(n));
}

void render_buffer_graph(cairo_t* cr, int width, int height, const buffer_occupancy_struct& record) {
    cairo_save(cr);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, 1.0);
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, font_size);

    const float bytes_per_pixel = graph_bytes_per_pixel(record.buffer_size, height);
    const int n_points = ring_point_count(record);

    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, 0, 0, width, height);
    cairo_fill(cr);

    draw_level(cr, width, height, bytes_per_pixel, record.buffer_size, buffer_size_line_colour);
    draw_level(cr, width, height, bytes_per_pixel, static_cast<int32_t>(record.buffer_size * 0.3),
               reference_line_colour);
    draw_level(cr, width, height, bytes_per_pixel, static_cast<int32_t>(record.buffer_size * 0.66667),
               reference_line_colour);

    for (int n = 0; n < n_points; n += 20) {
        const int x = graph_column(n, width);
        set_colour(cr, reference_line_colour);
        cairo_move_to(cr, x + 0.5, height);
        cairo_line_to(cr, x + 0.5, 0);
        cairo_stroke(cr);
        char text[48];
        std::snprintf(text, sizeof text, "%.4f", static_cast<double>(ring_point(record, n).seconds));
        draw_text(cr, x, height, text);
    }

    if (n_points >= 2) {
        set_colour(cr, occupancy_line_colour);
        for (int n = 0; n < n_points; ++n) {
            const double x = graph_column(n, width) + 0.5;
            const double y = graph_row(ring_point(record, n).occupancy, bytes_per_pixel, height) + 0.5;
            if (n == 0)
                cairo_move_to(cr, x, y);
            else
                cairo_line_to(cr, x, y);
        }
        cairo_stroke(cr);
    }
    cairo_restore(cr);
}

void draw_buffer_graph(GtkWidget* area, buffer_graph_struct* graph) {
    // The draw handler renders the graph into the back buffer and copies it.
    if (graph && graph->back_buffer) gtk_widget_queue_draw(area);
}

// ---------------------------------------------------------------------------
// Handlers of a graph's drawing area.

gboolean buffer_graph_configure_callback(GtkWidget* area, GdkEventConfigure*, gpointer) {
    buffer_graph_struct* graph = buffer_graph_of(area);
    if (!graph) return TRUE;
    release_back_buffer(graph);
    const int w = gtk_widget_get_allocated_width(area);
    const int h = gtk_widget_get_allocated_height(area);
    graph->back_buffer = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w > 0 ? w : 1, h > 0 ? h : 1);
    cairo_t* cr = cairo_create(graph->back_buffer);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    return TRUE;
}

gboolean buffer_graph_expose_callback(GtkWidget* area, cairo_t* cr, gpointer) {
    buffer_graph_struct* graph = buffer_graph_of(area);
    if (graph && graph->back_buffer) {
        // The whole graph, drawn off-screen and copied in one operation.
        cairo_t* back = cairo_create(graph->back_buffer);
        render_buffer_graph(back, cairo_image_surface_get_width(graph->back_buffer),
                            cairo_image_surface_get_height(graph->back_buffer), *graph->record);
        cairo_destroy(back);
        cairo_surface_flush(graph->back_buffer);
        cairo_set_source_surface(cr, graph->back_buffer, 0, 0);
        cairo_paint(cr);
    }
    return TRUE;
}

gboolean buffer_graph_destroy_callback(GtkWidget* area, gpointer) {
    buffer_graph_struct* graph = buffer_graph_of(area);
    if (graph) {
        release_back_buffer(graph);
        graph->drawing_area = nullptr;
        g_object_set_data(G_OBJECT(area), graph_key, nullptr);
    }
    return FALSE;
}

buffer_graph_struct* buffer_graph_of(GtkWidget* area) {
    return static_cast<buffer_graph_struct*>(g_object_get_data(G_OBJECT(area), graph_key));
}

GtkWidget* make_buffer_graph_area(int height, int width, buffer_graph_struct* graph) {
    GtkWidget* area = gtk_drawing_area_new();
    graph->drawing_area = area;
    g_object_set_data(G_OBJECT(area), graph_key, graph);
    gtk_widget_set_size_request(area, width, height);
    gtk_widget_add_events(area, GDK_STRUCTURE_MASK);
    g_signal_connect(area, "destroy", G_CALLBACK(buffer_graph_destroy_callback), nullptr);
    g_signal_connect(area, "draw", G_CALLBACK(buffer_graph_expose_callback), nullptr);
    g_signal_connect(area, "configure-event", G_CALLBACK(buffer_graph_configure_callback), nullptr);
    return area;
}

// ---------------------------------------------------------------------------
// Window handlers.

gboolean buffer_analysis_destroy_callback(GtkWidget* window, gpointer) {
    if (analysis_timer_id != 0) g_source_remove(analysis_timer_id);
    analysis_timer_id = 0;
    if (buffer_view_struct* view = view_of(window)) {
        // The replay stops at its next pass; a later opening has its own.
        view->replay->analysis_state = analysis_closed;
        view->replay->window_open = false;
    }
    buffer_analysis_view_instantiated = false;
    buffer_analysis_view_widget = nullptr;
    return FALSE;
}

gboolean buffer_analysis_play_callback(GtkWidget* button, gpointer) {
    buffer_view_struct* view = view_of(gtk_widget_get_toplevel(button));
    if (view && buffer_replay_finished(*view->replay) && view->replay->pack_index > 0) return TRUE;
    const bool running = g_object_get_data(G_OBJECT(button), running_key) != nullptr;
    if (running) {
        gtk_button_set_label(GTK_BUTTON(button), "  Resume  ");
        if (view) view->replay->analysis_state = analysis_paused;
        g_object_set_data(G_OBJECT(button), running_key, GINT_TO_POINTER(0));
    } else {
        gtk_button_set_label(GTK_BUTTON(button), "  Pause  ");
        if (view) view->replay->analysis_state = analysis_running;
        g_object_set_data(G_OBJECT(button), running_key, GINT_TO_POINTER(1));
    }
    return TRUE;
}

gboolean buffer_analysis_quit_callback(GtkWidget*, gpointer window) {
    gtk_widget_destroy(GTK_WIDGET(window));
    return TRUE;
}

gboolean buffer_analysis_redraw_callback(gpointer window) {
    buffer_view_struct* view = view_of(static_cast<GtkWidget*>(window));
    if (!view) return TRUE;
    for (const auto& graph : view->graphs)
        if (graph->drawing_area) draw_buffer_graph(graph->drawing_area, graph.get());
    if (view->replay->analysis_state == analysis_waiting_redraw) view->replay->analysis_state = analysis_running;
    return TRUE;
}

namespace {

// Each event of the window's replay, as one line on standard output.
void print_buffer_event(const buffer_event_struct& event, void*) {
    std::printf("%s\n", format_buffer_event(event).c_str());
}

// The replay has reached the end: the button says so and takes no more
// presses, and the main window hears the verdict.
void replay_ended(const buffer_replay_struct& rp) {
    buffer_view_struct* view = view_of(buffer_analysis_view_widget);
    if (view && view->replay.get() == &rp && view->play_button) {
        gtk_button_set_label(GTK_BUTTON(view->play_button), replay_finished_label);
        gtk_widget_set_sensitive(view->play_button, FALSE);
        g_object_set_data(G_OBJECT(view->play_button), running_key, GINT_TO_POINTER(0));
    }
    std::fflush(stdout);
    if (buffer_analysis_verdict_hook) buffer_analysis_verdict_hook(buffer_replay_verdict(rp).c_str());
}

}  // namespace

gboolean buffer_analysis_worker(gpointer data) {
    // Keeps the replay alive for this call even when its window goes.
    std::shared_ptr<buffer_replay_struct> replay = *static_cast<std::shared_ptr<buffer_replay_struct>*>(data);
    buffer_replay_struct& rp = *replay;
    if (!replay_goes_on(rp) || !open_buffer_replay(rp)) return FALSE;
    while (replay_goes_on(rp) && !buffer_replay_finished(rp)) {
        dispatch_pending_events();
        if (!replay_goes_on(rp)) break;
        if (rp.analysis_state == analysis_running)
            buffer_replay_step(rp);
        else
            gtk_main_iteration_do(TRUE);  // paused or waiting for a redraw: sleep until an event comes
    }
    const bool ended = buffer_replay_complete(rp);
    close_buffer_replay(rp);
    if (ended && replay_goes_on(rp)) replay_ended(rp);
    return FALSE;
}

// ---------------------------------------------------------------------------
// Opening and closing.

std::shared_ptr<buffer_replay_struct> buffer_analysis_replay() {
    buffer_view_struct* view = view_of(buffer_analysis_view_widget);
    return view ? view->replay : nullptr;
}

GtkWidget* buffer_analysis_play_button() {
    buffer_view_struct* view = view_of(buffer_analysis_view_widget);
    return view ? view->play_button : nullptr;
}

void make_buffer_analysis_view() {
    if (buffer_analysis_view_widget) return;

    auto* view = new buffer_view_struct;
    view->replay = std::make_shared<buffer_replay_struct>();
    buffer_replay_struct& rp = *view->replay;
    rp.event_hook = print_buffer_event;
    // The replay reads the packets again through the descriptor the parse
    // kept; a stream that was not a regular file (a pipe, a FIFO) has none,
    // and the window says so instead of showing empty graphs.
    const bool replayable = parsed_stream_fd() >= 0;
    if (replayable) setup_buffer_tracks(rp);

    int screen_width = 0, screen_height = 0;
    screen_size(screen_width, screen_height);
    const int graphs_height = screen_height - 120;

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
    GtkWidget* hbox = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 10);
    gtk_box_set_homogeneous(GTK_BOX(hbox), TRUE);
    gtk_window_set_title(GTK_WINDOW(window), "T-STD Buffer Analysis");
    gtk_window_move(GTK_WINDOW(window), 0, 0);
    g_object_set_data_full(G_OBJECT(window), view_key, view, delete_view);
    g_signal_connect(window, "destroy", G_CALLBACK(buffer_analysis_destroy_callback), nullptr);

    // Every stream is replayed; the first four with time stamps are drawn,
    // and the verdict speaks of them all.
    const std::vector<int> drawn = graphed_tracks(rp);
    for (int i : drawn) {
        auto graph = std::make_unique<buffer_graph_struct>();
        graph->record = &rp.buffer_occupied[i];
        const int height = graphs_height / static_cast<int>(drawn.size());
        GtkWidget* area = make_buffer_graph_area(height > 0 ? height : 1, screen_width, graph.get());
        gtk_box_pack_start(GTK_BOX(vbox), area, TRUE, FALSE, 0);
        view->graphs.push_back(std::move(graph));
    }

    if (!replayable) {
        GtkWidget* note = gtk_label_new(replay_unavailable_text);
        gtk_box_pack_start(GTK_BOX(vbox), note, TRUE, TRUE, 0);
    }

    GtkWidget* play = gtk_button_new_with_label("Play");
    gtk_widget_set_sensitive(play, replayable);
    g_signal_connect(play, "clicked", G_CALLBACK(buffer_analysis_play_callback), nullptr);
    g_object_set_data(G_OBJECT(play), running_key, GINT_TO_POINTER(0));
    GtkWidget* quit = gtk_button_new_with_label("Quit");
    g_signal_connect(quit, "clicked", G_CALLBACK(buffer_analysis_quit_callback), window);
    gtk_box_pack_start(GTK_BOX(hbox), play, TRUE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(hbox), quit, TRUE, FALSE, 0);
    gtk_widget_show(hbox);
    gtk_box_pack_end(GTK_BOX(vbox), hbox, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), vbox);
    view->play_button = play;
    gtk_widget_show_all(window);

    buffer_analysis_view_widget = window;
    analysis_timer_id = g_timeout_add(100, buffer_analysis_redraw_callback, window);
    buffer_analysis_view_instantiated = true;
    rp.window_open = true;
    rp.analysis_state = analysis_paused;
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, buffer_analysis_worker,
                    new std::shared_ptr<buffer_replay_struct>(view->replay), delete_replay_handle);
}

void close_buffer_analysis_view() {
    if (buffer_analysis_view_instantiated && buffer_analysis_view_widget)
        gtk_widget_destroy(buffer_analysis_view_widget);
}
