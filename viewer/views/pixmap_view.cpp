// Pack overview window.
#include "pixmap_view.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "pack_detail.h"

GtkWidget* pixmap_view_widget = nullptr;
bool pixmap_view_instantiated = false;
std::string pixmap_file_name;
pixmap_data_struct pixmap_data;
std::vector<GtkWidget*> pixmap_view_pack_details;
int32_t pixmap_view_pack_count = 0;
int pixmap_view_map_builds = 0;
int pixmap_view_scroll_bar_width = 0;

namespace {

// The scrolled window that holds the map area.
GtkWidget* map_scroller = nullptr;
// The loaded map, ready for painting.
cairo_surface_t* map_surface = nullptr;
// Pending check of the window's size for a new map (0 when none).
guint map_rebuild_id = 0;

[[noreturn]] void out_of_memory() {
    std::fprintf(stderr, "Out of memory\n");
    std::exit(1);
}

void remove_pixmap_file() {
    if (pixmap_file_name.empty()) return;
    std::remove(pixmap_file_name.c_str());
    pixmap_file_name.clear();
}

void release_image() {
    if (pixmap_data.image) g_object_unref(pixmap_data.image);
    pixmap_data.image = nullptr;
    if (map_surface) cairo_surface_destroy(map_surface);
    map_surface = nullptr;
}

GtkAdjustment* map_vadjustment() {
    return map_scroller ? gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(map_scroller)) : nullptr;
}

// Paints the part of the map inside the clip: the loaded image, or the
// cells drawn from the place records.  The area's coordinates are the map's;
// blank pixels let the window's background through.
gboolean map_draw_callback(GtkWidget*, cairo_t* cr, gpointer) {
    if (map_surface) {
        cairo_set_source_surface(cr, map_surface, 0, 0);
        cairo_paint(cr);
        return FALSE;
    }
    double x1, y1, x2, y2;
    cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
    int top = static_cast<int>(std::floor(y1));
    int height = static_cast<int>(std::ceil(y2)) - top;
    cairo_save(cr);
    cairo_translate(cr, 0, top);
    draw_pack_map(cr, pixmap_data.pack_places, pixmap_data.cell_size, pixmap_data.map_width, top, height);
    cairo_restore(cr);
    return FALSE;
}

bool size_changed(GtkWidget* window) {
    GtkAllocation size;
    gtk_widget_get_allocation(window, &size);
    return size.width != pixmap_data.width || size.height != pixmap_data.height;
}

// Width and shortest length of the vertical scroll bar.
void scroll_bar_size(int& width, int& min_height) {
    GtkWidget* bar = gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(map_scroller));
    int min_width = 0, natural_width = 0;
    gtk_widget_get_preferred_width(bar, &min_width, &natural_width);
    gtk_widget_get_preferred_height(bar, &min_height, nullptr);
    width = std::max(min_width, natural_width);
}

// The map is always made for the width it is shown in, so it never needs a
// horizontal scroll bar.  The vertical one is offered only while the window
// has room for it: a window forced smaller than the bar's own shortest
// length (a window manager may do that) would give it a negative length.
void update_scroll_policy(int width, int height) {
    if (!map_scroller) return;
    int bar_width = 0, bar_min_height = 0;
    scroll_bar_size(bar_width, bar_min_height);
    const bool room = height >= bar_min_height && width >= 2 * bar_width;
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(map_scroller), GTK_POLICY_EXTERNAL,
                                   room ? GTK_POLICY_AUTOMATIC : GTK_POLICY_EXTERNAL);
    pixmap_view_scroll_bar_width = room ? bar_width : 0;
}

gboolean map_rebuild_callback(gpointer) {
    map_rebuild_id = 0;
    if (pixmap_view_widget && size_changed(pixmap_view_widget)) insert_pixmap(pixmap_view_widget);
    return G_SOURCE_REMOVE;
}

}  // namespace

GdkPixbuf* load_pixmap_file(const char* path) {
    // The map file starts with its own comment line, by which the image
    // loaders would not recognise it as XPM: choose the loader by type.
    gchar* text = nullptr;
    gsize size = 0;
    GError* error = nullptr;
    GdkPixbuf* image = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("xpm", &error);
    if (loader && g_file_get_contents(path, &text, &size, &error) &&
        gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(text), size, &error) &&
        gdk_pixbuf_loader_close(loader, &error)) {
        image = gdk_pixbuf_loader_get_pixbuf(loader);
        if (image) g_object_ref(image);
    } else if (loader) {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    if (error) {
        std::fprintf(stderr, "Could not load file %s: %s\n", path, error->message);
        g_error_free(error);
    }
    g_free(text);
    if (loader) g_object_unref(loader);
    return image;
}

void draw_pack_map(cairo_t* cr, const std::vector<pack_place_struct>& places, int cell_size,
                   int map_width, int top, int height) {
    size_t first = 0, last = 0;
    packs_in_rows(places, cell_size, top, height, first, last);
    cairo_save(cr);
    cairo_rectangle(cr, 0, 0, map_width, height);
    cairo_clip(cr);
    char current = 0;
    auto cell = [&](int64_t x, int64_t y, char marker) {
        if (marker != current) {
            uint8_t rgb[3] = {0, 0, 0};
            marker_rgb(marker, rgb);
            cairo_set_source_rgb(cr, rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0);
            current = marker;
        }
        cairo_rectangle(cr, static_cast<double>(x), static_cast<double>(y), cell_size, cell_size);
        cairo_fill(cr);
    };
    for (size_t i = first; i < last; ++i) {
        const pack_struct& pack = *places[i].pack;
        int64_t x = places[i].x;
        int64_t y = int64_t{places[i].y} - top;
        for (size_t h = 0; h < pack.system_headers.size() && x < map_width; ++h, x += cell_size)
            cell(x, y, pixmap_header_marker);
        for (size_t k = 0; k < pack.packets.size() && x < map_width; ++k, x += cell_size)
            cell(x, y, marker_from_stream(pack.packets[k].stream_id));
    }
    cairo_restore(cr);
}

bool make_pixmap_file(int width, int height) {
    remove_pixmap_file();
    width = std::max(width, 1);
    height = std::max(height, 1);

    // A fresh name, created and opened in one step, so that no other
    // process can take the name between its choice and its creation.
    std::string name = pixmap_file_template;
    int fd = mkstemp(name.data());
    FILE* out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!out) {
        if (fd >= 0) {
            close(fd);
            std::remove(name.c_str());
        }
        std::fprintf(stderr, "Could not create file %s\n", name.c_str());
        return false;
    }
    pixmap_file_name = name;

    std::vector<pack_place_struct> places;
    int cell_size = 0;
    int32_t rows = 0;
    try {
        cell_size = choose_cell_size(_all_packs_array, width, height);
        rows = layout_pack_places(_all_packs_array, cell_size, width, places);
        // A map taller than the window scrolls: it is made again for the
        // width the vertical scroll bar leaves, so that no column is hidden.
        if (rows + 1 > height && pixmap_view_scroll_bar_width > 0 && width > pixmap_view_scroll_bar_width) {
            width -= pixmap_view_scroll_bar_width;
            places.clear();
            cell_size = choose_cell_size(_all_packs_array, width, height);
            rows = layout_pack_places(_all_packs_array, cell_size, width, places);
        }
    } catch (const std::bad_alloc&) {
        out_of_memory();
    }

    bool written = write_map_text(out, places, cell_size, width, rows);
    if (std::fclose(out) != 0) written = false;
    if (!written) {
        std::fprintf(stderr, "Could not create file %s\n", pixmap_file_name.c_str());
        remove_pixmap_file();
        return false;
    }

    pixmap_data.cell_size = cell_size;
    pixmap_data.pack_places.swap(places);
    pixmap_data.map_width = width;
    pixmap_data.map_rows = rows + 1;
    pixmap_data.scrolls = rows + 1 > height;
    ++pixmap_view_map_builds;
    return true;
}

void insert_pixmap(GtkWidget* window) {
    GtkAllocation size;
    gtk_widget_get_allocation(window, &size);
    pixmap_data.width = size.width;
    pixmap_data.height = size.height;
    update_scroll_policy(size.width, size.height);
    if (!make_pixmap_file(size.width, size.height)) return;

    // A map of moderate size is shown as loaded from its file; a bigger one
    // is drawn, as it scrolls into view, from the place records.
    release_image();
    if (int64_t{pixmap_data.map_width} * pixmap_data.map_rows <= pixmap_image_limit &&
        pixmap_data.map_width <= pixmap_image_side && pixmap_data.map_rows <= pixmap_image_side)
        pixmap_data.image = load_pixmap_file(pixmap_file_name.c_str());
    if (pixmap_data.image) map_surface = gdk_cairo_surface_create_from_pixbuf(pixmap_data.image, 1, nullptr);
    if (pixmap_data.pixmap_widget) {
        gtk_widget_set_size_request(pixmap_data.pixmap_widget, pixmap_data.map_width, pixmap_data.map_rows);
        gtk_widget_queue_draw(pixmap_data.pixmap_widget);
    }
}

int pixmap_view_scroll_top() {
    GtkAdjustment* v = map_vadjustment();
    return v ? static_cast<int>(std::floor(gtk_adjustment_get_value(v))) : 0;
}

void pixmap_view_scroll_to(int top) {
    if (GtkAdjustment* v = map_vadjustment()) gtk_adjustment_set_value(v, top);
}

gboolean pixmap_view_resize_callback(GtkWidget* window, gpointer, gpointer) {
    // The new map is made as soon as the window has finished allocating
    // or drawing: a size request of the map area made in the middle of the
    // window's allocation would be lost.  It is still made before the
    // window is drawn again.
    if (size_changed(window) && !map_rebuild_id)
        map_rebuild_id = g_idle_add_full(G_PRIORITY_HIGH_IDLE, map_rebuild_callback, nullptr, nullptr);
    return FALSE;
}

gboolean pixmap_view_configure_callback(GtkWidget*, GdkEventConfigure* event, gpointer) {
    update_scroll_policy(event->width, event->height);
    return FALSE;
}

gboolean pixmap_view_button_press_callback(GtkWidget*, GdkEventButton* event, gpointer) {
    // A double click reports two plain presses (and a double-press event
    // after them).  The second press of a double click on the same pack
    // opens nothing: one window per double click.  Presses without a
    // server time (made up by a program) always count.
    static guint32 last_press_time = 0;
    static int last_press_index = -1;
    if (event->type != GDK_BUTTON_PRESS) return FALSE;
    int x = static_cast<int>(event->x);
    int y = static_cast<int>(event->y);
    int index = find_pack_at(pixmap_data.pack_places, pixmap_data.cell_size, x, y);
    gint double_click_ms = 400;
    g_object_get(gtk_settings_get_default(), "gtk-double-click-time", &double_click_ms, nullptr);
    const bool second_of_double = event->time != GDK_CURRENT_TIME && last_press_time != GDK_CURRENT_TIME &&
                                  index == last_press_index &&
                                  event->time - last_press_time <= static_cast<guint32>(double_click_ms);
    last_press_time = second_of_double ? GDK_CURRENT_TIME : event->time;
    last_press_index = index;
    if (index >= 0 && !second_of_double) {
        // The dialog reads the pack's fields while it is built.
        pack_struct pack = *pixmap_data.pack_places[static_cast<size_t>(index)].pack;
        add_detail_pack(index, &pack);
    }
    return FALSE;
}

void remove_pack_detail_callback(GtkWidget* detail, gpointer) {
    auto it = std::find(pixmap_view_pack_details.begin(), pixmap_view_pack_details.end(), detail);
    if (it == pixmap_view_pack_details.end()) return;
    pixmap_view_pack_details.erase(it);
    pixmap_view_pack_count = static_cast<int32_t>(pixmap_view_pack_details.size());
}

void pixmap_view_destroy_callback(GtkWidget*, gpointer) {
    if (!pixmap_view_instantiated) return;
    // The window's children go with it.
    pixmap_data.pixmap_widget = nullptr;
    map_scroller = nullptr;
    if (map_rebuild_id) g_source_remove(map_rebuild_id);
    map_rebuild_id = 0;
    release_image();
    std::vector<pack_place_struct>().swap(pixmap_data.pack_places);
    pixmap_data.width = pixmap_data.height = 0;
    pixmap_data.scrolls = false;
    pixmap_view_instantiated = false;
    pixmap_view_widget = nullptr;
    remove_pixmap_file();

    std::vector<GtkWidget*> details;
    details.swap(pixmap_view_pack_details);
    for (GtkWidget* detail : details) {
        g_signal_handlers_disconnect_by_func(detail, reinterpret_cast<gpointer>(remove_pack_detail_callback),
                                             nullptr);
        gtk_widget_destroy(detail);
    }
    pixmap_view_pack_count = 0;
}

void make_pixmap_view() {
    if (pixmap_view_instantiated) return;
    // The place records and the recorded window size start empty (the
    // last closing cleared them); the first map fills them.
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    pixmap_view_widget = window;
    gtk_window_set_title(GTK_WINDOW(window), "Pack Overview");
    gtk_window_set_default_size(GTK_WINDOW(window), pixmap_view_initial_width,
                                pixmap_view_initial_height);

    // The map area sits in the window's top left corner inside a scrolled
    // window, which shows a vertical scroll bar while the map is taller
    // than the window.  The bar stands beside the map, not over it, so
    // that every cell can be seen and clicked.
    map_scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(map_scroller), GTK_POLICY_EXTERNAL,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(map_scroller), FALSE);
    GtkWidget* viewport = gtk_viewport_new(nullptr, nullptr);
    gtk_viewport_set_shadow_type(GTK_VIEWPORT(viewport), GTK_SHADOW_NONE);
    GtkWidget* area = gtk_drawing_area_new();
    gtk_widget_set_halign(area, GTK_ALIGN_START);
    gtk_widget_set_valign(area, GTK_ALIGN_START);
    gtk_widget_add_events(area, GDK_BUTTON_PRESS_MASK);
    gtk_container_add(GTK_CONTAINER(viewport), area);
    gtk_container_add(GTK_CONTAINER(map_scroller), viewport);
    gtk_container_add(GTK_CONTAINER(window), map_scroller);
    pixmap_data.pixmap_widget = area;

    g_signal_connect(window, "draw", G_CALLBACK(pixmap_view_resize_callback), nullptr);
    g_signal_connect_after(window, "size-allocate", G_CALLBACK(pixmap_view_resize_callback), nullptr);
    g_signal_connect(window, "configure-event", G_CALLBACK(pixmap_view_configure_callback), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(pixmap_view_destroy_callback), nullptr);
    g_signal_connect(area, "button-press-event", G_CALLBACK(pixmap_view_button_press_callback), nullptr);
    g_signal_connect(area, "draw", G_CALLBACK(map_draw_callback), nullptr);
    gtk_widget_set_events(window, GDK_BUTTON_PRESS_MASK);

    gtk_widget_show_all(window);
    insert_pixmap(window);
    pixmap_view_instantiated = true;
}

void close_pixmap_view() {
    if (pixmap_view_instantiated && pixmap_view_widget) gtk_widget_destroy(pixmap_view_widget);
}
