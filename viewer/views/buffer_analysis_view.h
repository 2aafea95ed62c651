// P-STD / STD buffer analysis window: one graph per tracked stream,
// stacked from top to bottom, on which the buffer model's replay is
// watched, with a Play button that starts, pauses and resumes it and a Quit
// button.
#pragma once

#include <gtk/gtk.h>

#include <memory>

#include "buffer_analysis_model.h"
#include "views.h"

extern GtkWidget* buffer_analysis_view_widget;
// Id of the 100 ms redraw timer; 0 when there is none.
extern guint analysis_timer_id;

// Colours of a graph, 16 bits per channel.
struct graph_colour {
    uint16_t red, green, blue;
};
inline constexpr graph_colour occupancy_line_colour{0x4141, 0xA8A8, 0x4343};
inline constexpr graph_colour buffer_size_line_colour{0xFE68, 0x1111, 0x1243};
// A blue that stands out on the black strip.
inline constexpr graph_colour reference_line_colour{0x4040, 0x6060, 0xFFFF};
// Text colour (the light colour of the active state).
inline constexpr double graph_text_grey = 0.85;

// One stream's graph: its drawing area, the back buffer the graph is drawn
// into (replaced on every resize), and the record it shows (in the replay
// of the window, which lives as long as the window).
struct buffer_graph_struct {
    GtkWidget* drawing_area = nullptr;
    cairo_surface_t* back_buffer = nullptr;
    buffer_occupancy_struct* record = nullptr;
};

// The replay of the open window (null when it is closed).
std::shared_ptr<buffer_replay_struct> buffer_analysis_replay();
// The Play button of the open window.
GtkWidget* buffer_analysis_play_button();
// Label of the Play button once the replay has reached the end.
inline constexpr const char* replay_finished_label = "  Finished  ";
// Shown instead of the graphs when the stream cannot be read again.
inline constexpr const char* replay_unavailable_text =
    "This stream cannot be replayed: it was not read from a regular file.";

// The replay's idle function; `data` holds the replay it runs.
gboolean buffer_analysis_worker(gpointer data);

gboolean buffer_analysis_destroy_callback(GtkWidget* window, gpointer data);
gboolean buffer_analysis_play_callback(GtkWidget* button, gpointer data);
gboolean buffer_analysis_quit_callback(GtkWidget* button, gpointer window);
gboolean buffer_analysis_redraw_callback(gpointer window);
gboolean buffer_graph_configure_callback(GtkWidget* area, GdkEventConfigure* event, gpointer data);
gboolean buffer_graph_expose_callback(GtkWidget* area, cairo_t* cr, gpointer data);
gboolean buffer_graph_destroy_callback(GtkWidget* area, gpointer data);

GtkWidget* make_buffer_graph_area(int height, int width, buffer_graph_struct* graph);
// The graph a drawing area shows, or null.
buffer_graph_struct* buffer_graph_of(GtkWidget* area);
// Has the graph drawn into its back buffer and copied onto the screen at the
// area's next draw.
void draw_buffer_graph(GtkWidget* area, buffer_graph_struct* graph);

// Geometry of a graph of the given height and width.
float graph_bytes_per_pixel(int32_t buffer_size, int height);
int graph_row(int64_t value, float bytes_per_pixel, int height);
int graph_column(int n, int width);
// Draws one stream's graph on `cr` (a back buffer, or an image surface
// without any display), `width` by `height` pixels.
void render_buffer_graph(cairo_t* cr, int width, int height, const buffer_occupancy_struct& record);
