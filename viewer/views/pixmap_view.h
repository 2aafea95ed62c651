// Pack overview window: the map of every pack of the stream, one coloured
// cell per system header and per packet, rebuilt for each new window size.
// The map is written as a map file under /tmp and shown from the window's
// top left corner; a map taller than the window scrolls.  A map of moderate
// size is loaded from its file and shown as it is; of a bigger one only the
// visible rows are drawn, from the place records.  A click on a pack's first
// cell opens the pack's detail window.  Opened and closed through views.h;
// this header gives the window's state and handlers to the tests.
#pragma once

#include <cairo.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pixmap_layout.h"
#include "views.h"

// Size of the window when it opens.
inline constexpr int pixmap_view_initial_width = 300;
inline constexpr int pixmap_view_initial_height = 400;

// Directory and name prefix of the map file.
inline constexpr const char* pixmap_file_template = "/tmp/mpgtlXXXXXX";

struct pixmap_data_struct {
    int32_t cell_size = 0;
    // Area that shows the current map, null until the first map is shown.
    GtkWidget* pixmap_widget = nullptr;
    // One record per pack of the stream, in stream order.
    std::vector<pack_place_struct> pack_places;
    // Window size the current map was made for.
    int32_t width = 0;
    int32_t height = 0;
    // Columns and pixel rows of the current map; it scrolls when it is
    // taller than the window.
    int32_t map_width = 0;
    int32_t map_rows = 0;
    bool scrolls = false;
    // The map as loaded from its file; null when it is drawn from the place
    // records.
    GdkPixbuf* image = nullptr;
};

extern GtkWidget* pixmap_view_widget;
extern std::string pixmap_file_name;  // empty when there is no map file
extern pixmap_data_struct pixmap_data;
extern std::vector<GtkWidget*> pixmap_view_pack_details;
extern int32_t pixmap_view_pack_count;

// Largest map, in pixels and along either side, that is loaded from its
// file as an image.
inline constexpr int64_t pixmap_image_limit = 4 << 20;
inline constexpr int pixmap_image_side = 32767;
// Maps made so far by this process.
extern int pixmap_view_map_builds;
// Width of the vertical scroll bar while the window has room for one, else
// 0: a map taller than the window is made this much narrower.
extern int pixmap_view_scroll_bar_width;

// Records the window's size, makes a new map for it and shows it.
void insert_pixmap(GtkWidget* window);

// Writes a new map file for a window of `width` x `height` pixels and fills
// the cell size, the place records and the map's size; on failure leaves the
// current map as it was.
bool make_pixmap_file(int width, int height);

// Loads a map file with the XPM loader; null (and a message) on failure.
GdkPixbuf* load_pixmap_file(const char* path);

// Draws the cells of the map rows [top, top + height) onto `cr`, the map's
// row `top` at y = 0; blank pixels are left as they are.
void draw_pack_map(cairo_t* cr, const std::vector<pack_place_struct>& places, int cell_size,
                   int map_width, int top, int height);

// Map row at the window's top edge, and scrolling to a row.
int pixmap_view_scroll_top();
void pixmap_view_scroll_to(int top);

gboolean pixmap_view_resize_callback(GtkWidget* window, gpointer unused, gpointer data);
gboolean pixmap_view_configure_callback(GtkWidget* window, GdkEventConfigure* event, gpointer data);
void pixmap_view_destroy_callback(GtkWidget* window, gpointer data);
gboolean pixmap_view_button_press_callback(GtkWidget* area, GdkEventButton* event, gpointer data);
void remove_pack_detail_callback(GtkWidget* detail, gpointer data);
