// Clock relationships window: plots, pack by pack, the pack's SCR less the
// latest PTS of the video stream 0xE0 (blue) and of the audio stream 0xC0
// (red), 40 packs at a time, scrolling 5 packs every half second until the
// end of the stream.  Opened and closed through views.h; this header gives
// the drawing and the window's state to the tests.
#pragma once

#include <cairo.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <vector>

#include "clocks_model.h"
#include "views.h"

// Colours of the two series (16-bit colour components as fractions).
inline constexpr double clocks_video_rgb[3] = {0.0, 0.0, 1.0};
inline constexpr double clocks_audio_rgb[3] = {1.0, 0.0, 0.0};

// Size of the plot when the window opens.
inline constexpr int clocks_area_width = 500;
inline constexpr int clocks_area_height = 400;

// Milliseconds between two ticks of the scrolling.
inline constexpr guint clocks_tick_ms = 500;

// Draws one frame of the plot on `cr`, an area of `width` x `height` pixels:
// white background, the seconds labels of every fifth pack, the legend, the
// SCR line, the +B, -B and 30000 clocks lines with their texts, then the
// blue video and red audio polylines of the packs of `frame`.
void draw_clocks_plot(cairo_t* cr, int width, int height, int32_t boundary,
                      const std::vector<clock_relationship>& video,
                      const std::vector<clock_relationship>& audio, const clocks_frame& frame);

// State of the open window (empty / null / 0 while it is closed).
extern std::vector<clock_relationship> video_relationship;
extern std::vector<clock_relationship> audio_relationship;
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
