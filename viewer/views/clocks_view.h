// Clock relationships window: plots, pack by pack, the pack's SCR less the
// latest PTS of the video stream 0xE0 (blue) and of each audio stream (red
// for the first, then a colour of its own each), 40 packs at a time, scrolling 5 packs every half second until the
// end of the stream.  Opened and closed through views.h; this header gives
// the drawing and the window's state to the tests.
#pragma once

#include <cairo.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <string>
#include <vector>

#include "clocks_model.h"
#include "views.h"

// Colours of the series (16-bit colour components as fractions): video
// blue, the audio streams red, then the rest of the palette in turn.
inline constexpr double clocks_video_rgb[3] = {0.0, 0.0, 1.0};
inline constexpr double clocks_audio_rgb[3] = {1.0, 0.0, 0.0};
struct clocks_colour {
    const char* name;
    double rgb[3];
};
inline constexpr clocks_colour clocks_audio_palette[] = {
    {"Red", {1.0, 0.0, 0.0}},     {"Green", {0.0, 0.6, 0.0}},  {"Magenta", {0.8, 0.0, 0.8}},
    {"Orange", {1.0, 0.5, 0.0}},  {"Teal", {0.0, 0.5, 0.5}},   {"Brown", {0.55, 0.27, 0.07}},
    {"Violet", {0.5, 0.0, 1.0}},  {"Olive", {0.5, 0.5, 0.0}},
};
inline constexpr size_t clocks_palette_size = sizeof clocks_audio_palette / sizeof clocks_audio_palette[0];

// The legend entry of an audio series: "Red = Audio 0xc0", "Green = AC-3 0xbd".
std::string clocks_audio_legend(const clocks_audio_series& series, size_t index);

// Size of the plot when the window opens.
inline constexpr int clocks_area_width = 500;
inline constexpr int clocks_area_height = 400;

// Milliseconds between two ticks of the scrolling.
inline constexpr guint clocks_tick_ms = 500;

// Draws one frame of the plot on `cr`, an area of `width` x `height` pixels:
// white background, the seconds labels of every fifth pack, the legend, the
// SCR line, the +B, -B and 30000 clocks lines with their texts, then the
// blue video polyline and one polyline per audio series for the packs of
// `frame`.  The polylines stay above the seconds labels and the legend.
void draw_clocks_plot(cairo_t* cr, int width, int height, int32_t boundary,
                      const std::vector<clock_relationship>& video,
                      const std::vector<clocks_audio_series>& audio, const clocks_frame& frame);
// The same with one audio series, that of stream 0xC0.
void draw_clocks_plot(cairo_t* cr, int width, int height, int32_t boundary,
                      const std::vector<clock_relationship>& video,
                      const std::vector<clock_relationship>& audio, const clocks_frame& frame);

// State of the open window (empty / null / 0 while it is closed).
extern std::vector<clock_relationship> video_relationship;
extern std::vector<clock_relationship> audio_relationship;  // stream 0xC0
extern std::vector<clocks_audio_series> audio_series;      // every audio stream plotted
extern int32_t n_clocks_pack;          // scroll position: the plot shows the 40 packs before it
extern guint clocks_interval_id;       // id of the scrolling timeout, 0 when none runs
extern int32_t clocks_boundary;        // boundary B this opening plots with
extern GtkWidget* clocks_relationships_view_widget;
extern cairo_surface_t* clocks_pixmap;  // back buffer of the plot

// Handlers, connected by make_clocks_relationships_view.
gboolean clocks_relationship_interval_callback(gpointer area);
void clocks_view_destroy_callback(GtkWidget* window, gpointer data);
gboolean clocks_view_configure_callback(GtkWidget* area, GdkEventConfigure* event, gpointer data);
gboolean clocks_view_expose_callback(GtkWidget* area, cairo_t* cr, gpointer data);
