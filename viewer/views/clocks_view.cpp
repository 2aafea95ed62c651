// Clock relationships window: a top-level window with one drawing area whose
// back buffer a half-second timeout redraws, scrolling through the packs.
#include "clocks_view.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "config.h"

bool clocks_relationships_view_instantiated = false;
std::vector<clock_relationship> video_relationship;
std::vector<clock_relationship> audio_relationship;
std::vector<clocks_audio_series> audio_series;
int32_t n_clocks_pack = 0;
guint clocks_interval_id = 0;
int32_t clocks_boundary = clocks_default_boundary;
GtkWidget* clocks_relationships_view_widget = nullptr;
cairo_surface_t* clocks_pixmap = nullptr;

namespace {

// The frame last drawn into the back buffer, drawn again when the buffer is
// made anew (a resize) so that a stopped plot stays on screen.
clocks_frame last_frame;
bool frame_drawn = false;

constexpr double font_size = 12.0;

void set_rgb(cairo_t* cr, const double (&rgb)[3]) { cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]); }

// Text with its baseline at y.
void draw_text(cairo_t* cr, double x, double y, const char* text) {
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, text);
}

// One-pixel horizontal line across the width on row y.
void draw_row_line(cairo_t* cr, int width, int y) {
    cairo_move_to(cr, 0, y + 0.5);
    cairo_line_to(cr, width, y + 0.5);
    cairo_stroke(cr);
}

// The polyline through (xs[i], ys[i]) for as many points as `ys` holds.
void draw_polyline(cairo_t* cr, const std::vector<double>& xs, const std::vector<double>& ys) {
    if (ys.empty()) return;
    cairo_move_to(cr, xs[0] + 0.5, ys[0] + 0.5);
    for (size_t i = 1; i < ys.size() && i < xs.size(); ++i) cairo_line_to(cr, xs[i] + 0.5, ys[i] + 0.5);
    cairo_stroke(cr);
}

void free_back_buffer() {
    if (clocks_pixmap) cairo_surface_destroy(clocks_pixmap);
    clocks_pixmap = nullptr;
}

// A new white back buffer of the area's allocated size.
void make_back_buffer(GtkWidget* area) {
    free_back_buffer();
    const int w = gtk_widget_get_allocated_width(area);
    const int h = gtk_widget_get_allocated_height(area);
    clocks_pixmap = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w > 0 ? w : 1, h > 0 ? h : 1);
    cairo_t* cr = cairo_create(clocks_pixmap);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_destroy(cr);
}

void draw_frame_into_back_buffer(const clocks_frame& frame) {
    cairo_t* cr = cairo_create(clocks_pixmap);
    draw_clocks_plot(cr, cairo_image_surface_get_width(clocks_pixmap),
                     cairo_image_surface_get_height(clocks_pixmap), clocks_boundary, video_relationship,
                     audio_series, frame);
    cairo_destroy(cr);
    cairo_surface_flush(clocks_pixmap);
    last_frame = frame;
    frame_drawn = true;
}

}  // namespace

std::string clocks_audio_legend(const clocks_audio_series& series, size_t index) {
    char text[64];
    std::snprintf(text, sizeof text, "%s = %s 0x%x", clocks_audio_palette[index % clocks_palette_size].name,
                  series.ac3 ? "AC-3" : "Audio", series.stream_id);
    return text;
}

void draw_clocks_plot(cairo_t* cr, int width, int height, int32_t boundary,
                      const std::vector<clock_relationship>& video,
                      const std::vector<clock_relationship>& audio, const clocks_frame& frame) {
    std::vector<clocks_audio_series> series(1);
    series[0].stream_id = clocks_audio_stream_id;
    series[0].points = audio;
    draw_clocks_plot(cr, width, height, boundary, video, series, frame);
}

void draw_clocks_plot(cairo_t* cr, int width, int height, int32_t boundary,
                      const std::vector<clock_relationship>& video,
                      const std::vector<clocks_audio_series>& audio, const clocks_frame& frame) {
    const clocks_geometry g = make_clocks_geometry(width, height, boundary);

    cairo_save(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, 0, 0, width, height);
    cairo_fill(cr);

    // Aliased one-pixel lines that cover their end points, like thin lines
    // on an X server.
    cairo_set_line_width(cr, 1.0);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, font_size);

    // Points of every series, and the seconds of every fifth pack under the
    // -B line.
    std::vector<double> xs, video_ys;
    std::vector<std::vector<double>> audio_ys(audio.size());
    char text[64];
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (int n = 0; n < frame.count; ++n) {
        const size_t i = static_cast<size_t>(frame.first + n);
        if (i >= video.size()) break;
        const int x = n * g.step;
        xs.push_back(x);
        video_ys.push_back(clocks_row(g, video[i].difference));
        for (size_t k = 0; k < audio.size(); ++k)
            if (i < audio[k].points.size()) audio_ys[k].push_back(clocks_row(g, audio[k].points[i].difference));
        if (clocks_pack_is_labelled(n)) {
            std::snprintf(text, sizeof text, "%1.2f", static_cast<double>(video[i].seconds));
            draw_text(cr, x, g.minus_b_y + 20, text);
        }
    }

    // Legend: video at the left, then the audio series from x = 250 on,
    // continued on further rows when the width runs out.
    draw_text(cr, 5, g.minus_b_y + 20, "Secs");
    set_rgb(cr, clocks_video_rgb);
    draw_text(cr, 5, g.minus_b_y + 40, "Blue = Video");
    double legend_x = 250, legend_y = g.minus_b_y + 40;
    for (size_t k = 0; k < audio.size(); ++k) {
        const std::string legend = clocks_audio_legend(audio[k], k);
        cairo_text_extents_t extents;
        cairo_text_extents(cr, legend.c_str(), &extents);
        if (k > 0 && legend_x + extents.x_advance > width) {
            legend_x = 250;
            legend_y += font_size + 4;
        }
        set_rgb(cr, clocks_audio_palette[k % clocks_palette_size].rgb);
        draw_text(cr, legend_x, legend_y, legend.c_str());
        legend_x += extents.x_advance + 15;
    }

    cairo_set_source_rgb(cr, 0, 0, 0);
    draw_row_line(cr, width, g.mid);
    draw_text(cr, 0, g.mid, "SCR");
    draw_row_line(cr, width, g.plus_b_y);
    std::snprintf(text, sizeof text, "%d Clocks", boundary);
    draw_text(cr, 0, g.plus_b_y, text);
    draw_row_line(cr, width, g.minus_b_y);
    std::snprintf(text, sizeof text, "%d Clocks", -boundary);
    draw_text(cr, 0, g.minus_b_y, text);
    draw_row_line(cr, width, g.y_30000);
    std::snprintf(text, sizeof text, "%d Clocks", 30000);
    draw_text(cr, 0, g.y_30000, text);

    // The series keep to the rows above the tops of the seconds labels, so
    // that a line far off the plot never runs over the labels or the legend.
    cairo_font_extents_t font;
    cairo_font_extents(cr, &font);
    const double label_top = g.minus_b_y + 20 - std::ceil(font.ascent);
    cairo_rectangle(cr, 0, 0, width, label_top > 0 ? label_top : 0);
    cairo_clip(cr);
    set_rgb(cr, clocks_video_rgb);
    draw_polyline(cr, xs, video_ys);
    for (size_t k = 0; k < audio.size(); ++k) {
        set_rgb(cr, clocks_audio_palette[k % clocks_palette_size].rgb);
        draw_polyline(cr, xs, audio_ys[k]);
    }
    cairo_restore(cr);
}

gboolean clocks_relationship_interval_callback(gpointer data) {
    GtkWidget* area = static_cast<GtkWidget*>(data);
    const int w = gtk_widget_get_allocated_width(area);
    const int h = gtk_widget_get_allocated_height(area);
    if (!clocks_pixmap || cairo_image_surface_get_width(clocks_pixmap) != w ||
        cairo_image_surface_get_height(clocks_pixmap) != h)
        make_back_buffer(area);

    const clocks_frame frame =
        advance_clocks_frame(n_clocks_pack, static_cast<int>(video_relationship.size()));
    draw_frame_into_back_buffer(frame);
    gtk_widget_queue_draw(area);

    if (frame.at_end) {
        // Returning FALSE removes the timeout.
        clocks_interval_id = 0;
        return FALSE;
    }
    return TRUE;
}

gboolean clocks_view_configure_callback(GtkWidget* area, GdkEventConfigure*, gpointer) {
    make_back_buffer(area);
    if (frame_drawn) draw_frame_into_back_buffer(last_frame);
    return TRUE;
}

gboolean clocks_view_expose_callback(GtkWidget*, cairo_t* cr, gpointer) {
    if (clocks_pixmap) {
        cairo_set_source_surface(cr, clocks_pixmap, 0, 0);
    } else {
        cairo_set_source_rgb(cr, 1, 1, 1);
    }
    cairo_paint(cr);
    return TRUE;
}

void clocks_view_destroy_callback(GtkWidget*, gpointer) {
    if (clocks_interval_id != 0) g_source_remove(clocks_interval_id);
    clocks_interval_id = 0;
    std::vector<clock_relationship>().swap(video_relationship);
    std::vector<clock_relationship>().swap(audio_relationship);
    std::vector<clocks_audio_series>().swap(audio_series);
    free_back_buffer();
    frame_drawn = false;
    clocks_relationships_view_widget = nullptr;
    clocks_relationships_view_instantiated = false;
}

void make_clocks_relationships_view() {
    if (clocks_relationships_view_instantiated) return;

    n_clocks_pack = 0;
    frame_drawn = false;
    clocks_boundary = usable_clock_boundary(tarvel_clock_boundaries);
    if (clocks_boundary != tarvel_clock_boundaries)
        std::printf("clock_boundaries %d is not above 0, plotting with %d clocks\n",
                    static_cast<int>(tarvel_clock_boundaries), static_cast<int>(clocks_boundary));
    try {
        compute_clock_relationships(_all_packs_array, video_relationship, audio_relationship);
        audio_series = compute_audio_clock_series(_all_packs_array, stream_file_packet_is_ac3, nullptr);
    } catch (const std::bad_alloc&) {
        std::fputs("Out of memory\n", stderr);
        std::exit(1);
    }

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    clocks_relationships_view_widget = window;
    gtk_window_set_title(GTK_WINDOW(window), "Clock Relationships");
    GtkWidget* area = gtk_drawing_area_new();
    gtk_widget_set_size_request(area, clocks_area_width, clocks_area_height);
    gtk_widget_add_events(area, GDK_STRUCTURE_MASK);

    g_signal_connect(window, "destroy", G_CALLBACK(clocks_view_destroy_callback), nullptr);
    g_signal_connect(area, "draw", G_CALLBACK(clocks_view_expose_callback), nullptr);
    g_signal_connect(area, "configure-event", G_CALLBACK(clocks_view_configure_callback), nullptr);

    gtk_widget_show(window);
    gtk_container_add(GTK_CONTAINER(window), area);
    gtk_widget_show(area);

    clocks_interval_id = g_timeout_add(clocks_tick_ms, clocks_relationship_interval_callback, area);
    clocks_relationships_view_instantiated = true;
}

void close_clocks_relationships_view() {
    if (clocks_relationships_view_instantiated && clocks_relationships_view_widget)
        gtk_widget_destroy(clocks_relationships_view_widget);
}
