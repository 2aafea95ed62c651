// The pack overview and detail windows on a display (run under xvfb-run):
// opening on a real stream, resizing, clicking cells, closing; and a stream
// as big as a DVD recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "gtk_test_util.h"
#include "pack_detail.h"
#include "pack_model.h"
#include "parser.h"
#include "pixmap_view.h"

namespace {

namespace fs = std::filesystem;

using gtu::pump_until;

void pump_pending() { gtu::pump_pending(20); }

GtkAllocation window_size() {
    GtkAllocation a;
    gtk_widget_get_allocation(pixmap_view_widget, &a);
    return a;
}

// A press and release of button 1 at (x, y) of the map, handed to the
// toolkit as the pointer's events on the map area.
void click(int x, int y, guint32 time = GDK_CURRENT_TIME) {
    GdkWindow* window = gtk_widget_get_window(pixmap_data.pixmap_widget);
    GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default()));
    for (GdkEventType type : {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
        GdkEvent* event = gdk_event_new(type);
        event->button.window = GDK_WINDOW(g_object_ref(window));
        event->button.x = x + 0.5;
        event->button.y = y + 0.5;
        event->button.button = 1;
        event->button.time = time;
        gdk_event_set_device(event, pointer);
        gtk_main_do_event(event);
        gdk_event_free(event);
    }
    pump_pending();
}

// Titles of the detail windows that exist, whether or not they are listed.
std::vector<std::string> detail_titles() {
    std::vector<std::string> titles;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        const char* title = gtk_window_get_title(GTK_WINDOW(l->data));
        if (title && std::string(title).rfind("Pack # ", 0) == 0) titles.push_back(title);
    }
    g_list_free(all);
    return titles;
}

// The labels inside `widget`, in order.
void find_labels(GtkWidget* widget, std::vector<GtkWidget*>& labels) {
    if (GTK_IS_LABEL(widget)) labels.push_back(widget);
    if (!GTK_IS_CONTAINER(widget)) return;
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* l = children; l; l = l->next) find_labels(GTK_WIDGET(l->data), labels);
    g_list_free(children);
}

std::vector<std::string> label_texts(GtkWidget* dialog) {
    std::vector<GtkWidget*> labels;
    find_labels(dialog, labels);
    std::vector<std::string> texts;
    for (GtkWidget* l : labels) texts.push_back(gtk_label_get_text(GTK_LABEL(l)));
    return texts;
}

std::string font_family(GtkWidget* widget) {
    PangoFontDescription* font = nullptr;
    GtkStyleContext* context = gtk_widget_get_style_context(widget);
    gtk_style_context_get(context, gtk_style_context_get_state(context), "font", &font, nullptr);
    std::string name = font && pango_font_description_get_family(font) ? pango_font_description_get_family(font) : "";
    if (font) pango_font_description_free(font);
    return name;
}

// What the window shows, as drawn into an image.
struct screenshot {
    cairo_surface_t* surface;
    screenshot() {
        GtkAllocation a = window_size();
        surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, a.width, a.height);
        cairo_t* cr = cairo_create(surface);
        gtk_widget_draw(pixmap_view_widget, cr);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
    }
    ~screenshot() { cairo_surface_destroy(surface); }
    uint32_t at(int x, int y) const {
        if (x < 0 || y < 0 || x >= cairo_image_surface_get_width(surface) ||
            y >= cairo_image_surface_get_height(surface)) {
            ADD_FAILURE() << "(" << x << ", " << y << ") is outside the window";
            return 0;
        }
        auto row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(surface) +
                                                     y * cairo_image_surface_get_stride(surface));
        return row[x] & 0xFFFFFF;
    }
};

uint32_t colour_of(char marker) {
    uint8_t rgb[3] = {0, 0, 0};
    marker_rgb(marker, rgb);
    return uint32_t{rgb[0]} << 16 | uint32_t{rgb[1]} << 8 | rgb[2];
}

char first_marker(const pack_struct& pack) {
    return pack.system_headers.empty() ? marker_from_stream(pack.packets.at(0).stream_id) : '!';
}

// The map has been built anew since `builds` and the window, `height`
// high, has given the map area the map's size.
bool map_laid_out(int builds, int height) {
    return pixmap_view_map_builds > builds && window_size().height == height &&
           gtk_widget_get_allocated_height(pixmap_data.pixmap_widget) == pixmap_data.map_rows;
}

long resident_kb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

class PixmapWindow : public ::testing::Test {
protected:
    void TearDown() override {
        close_pixmap_view();
        pump_pending();
        delete_parser_structs();
    }
};

TEST_F(PixmapWindow, OpensResizesOpensDetailsAndCloses) {
    init_parser_structs();
    _pack_sink = collect_pack;
    parse_mpeg_file(TEST_DATA_DIR "/mpeg2_bframes_ffmpeg.mpg");
    ASSERT_EQ(_n_all_packs(), 77);

    const int builds = pixmap_view_map_builds;
    make_pixmap_view();
    ASSERT_TRUE(pixmap_view_instantiated);
    ASSERT_TRUE(pump_until([&] { return map_laid_out(builds, 400); }));
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(pixmap_view_widget)), "Pack Overview");
    EXPECT_EQ(window_size().width, 300);
    EXPECT_EQ(window_size().height, 400);
    EXPECT_EQ(pixmap_view_map_builds, builds + 1);
    std::string first_file = pixmap_file_name;
    EXPECT_TRUE(fs::exists(first_file));
    ASSERT_NE(pixmap_data.image, nullptr);
    // A map that scrolls leaves the vertical scroll bar its width.
    const int bar = pixmap_data.scrolls ? pixmap_view_scroll_bar_width : 0;
    EXPECT_EQ(gdk_pixbuf_get_width(pixmap_data.image), 300 - bar);

    // The window shows the map from its top left corner.
    int cs = pixmap_data.cell_size;
    {
        screenshot shot;
        int seen = 0;
        for (const auto& place : pixmap_data.pack_places) {
            if (place.y + cs > 380) break;  // clear of a horizontal scroll bar
            EXPECT_EQ(shot.at(place.x + cs / 2, place.y + cs / 2), colour_of(first_marker(*place.pack)));
            ++seen;
        }
        EXPECT_GT(seen, 60);
    }

    // A new size makes one new map; the same size again makes none.
    gtk_window_resize(GTK_WINDOW(pixmap_view_widget), 420, 330);
    ASSERT_TRUE(pump_until([&] { return window_size().width == 420 && map_laid_out(builds + 1, 330); }));
    EXPECT_EQ(pixmap_view_map_builds, builds + 2);
    EXPECT_EQ(pixmap_data.width, 420);
    EXPECT_EQ(pixmap_data.height, 330);
    EXPECT_EQ(gtk_widget_get_allocated_width(pixmap_data.pixmap_widget),
              420 - (pixmap_data.scrolls ? pixmap_view_scroll_bar_width : 0));
    EXPECT_EQ(gtk_widget_get_allocated_height(pixmap_data.pixmap_widget), pixmap_data.map_rows);
    EXPECT_FALSE(fs::exists(first_file));
    EXPECT_TRUE(fs::exists(pixmap_file_name));
    gtk_window_resize(GTK_WINDOW(pixmap_view_widget), 420, 330);
    pump_pending();
    pixmap_view_resize_callback(pixmap_view_widget, nullptr, nullptr);
    gtk_widget_queue_draw(pixmap_view_widget);
    pump_pending();
    EXPECT_EQ(pixmap_view_map_builds, builds + 2);

    // Anywhere in a pack's first cell opens its details; its second cell
    // and the gap before it do not.
    cs = pixmap_data.cell_size;
    const pack_place_struct place = pixmap_data.pack_places.at(5);
    ASSERT_GT(place.x, 0);
    click(place.x + cs - 1, place.y + cs - 1);
    ASSERT_EQ(pixmap_view_pack_count, 1);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(pixmap_view_pack_details[0])), "Pack # 5");
    EXPECT_EQ(label_texts(pixmap_view_pack_details[0]), pack_detail_lines(*place.pack));
    // The detail window alone has the fixed-width font.
    std::vector<GtkWidget*> labels;
    find_labels(pixmap_view_pack_details[0], labels);
    EXPECT_EQ(font_family(labels.at(0)), "monospace");
    EXPECT_NE(font_family(gtk_bin_get_child(GTK_BIN(pixmap_view_widget))), "monospace");
    click(place.x + cs, place.y);
    click(place.x - 1, place.y);
    click(place.x, place.y + cs);
    EXPECT_EQ(pixmap_view_pack_count, 1);
    click(place.x, place.y);
    EXPECT_EQ(pixmap_view_pack_count, 2);
    EXPECT_EQ(detail_titles(), (std::vector<std::string>{"Pack # 5", "Pack # 5"}));
    click(pixmap_data.pack_places.at(0).x, pixmap_data.pack_places.at(0).y);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(pixmap_view_pack_details.at(2))), "Pack # 0");
    // A double click (two presses within the double-click time) opens one
    // window; two clicks further apart open two.
    click(place.x, place.y, 10000);
    click(place.x, place.y, 10150);
    EXPECT_EQ(pixmap_view_pack_count, 4);
    click(place.x, place.y, 12000);
    EXPECT_EQ(pixmap_view_pack_count, 5);
    gtk_widget_destroy(pixmap_view_pack_details[4]);
    gtk_widget_destroy(pixmap_view_pack_details[3]);

    // A detail window closed on its own leaves the list.
    gtk_widget_destroy(pixmap_view_pack_details[0]);
    pump_pending();
    EXPECT_EQ(pixmap_view_pack_count, 2);
    EXPECT_EQ(pixmap_view_pack_details.size(), 2u);

    // Closing the overview removes its map file and every detail window.
    std::string file = pixmap_file_name;
    close_pixmap_view();
    pump_pending();
    EXPECT_FALSE(pixmap_view_instantiated);
    EXPECT_EQ(pixmap_view_widget, nullptr);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(pixmap_file_name.empty());
    EXPECT_EQ(pixmap_view_pack_count, 0);
    EXPECT_TRUE(detail_titles().empty());

    // And it opens again.
    make_pixmap_view();
    EXPECT_TRUE(pixmap_view_instantiated);
    EXPECT_TRUE(pump_until([] { return fs::exists(pixmap_file_name); }));
}

TEST_F(PixmapWindow, StreamOfAQuarterMillionPacksScrollsToEveryPack) {
    // As many packs as about 500 MB of a DVD recording: video packs, audio
    // packs and a navigation pack with a system header every 30th.
    init_parser_structs();
    const int n = 250000;
    for (int i = 0; i < n; ++i) {
        if (i % 30 == 0) collect_pack(pm::pack(1, {0xBF, 0xBF}));
        else if (i % 7 == 0) collect_pack(pm::pack(0, {0xBD}));
        else collect_pack(pm::pack(0, {0xE0}));
    }
    const long before_kb = resident_kb();
    const int builds = pixmap_view_map_builds;
    auto start = std::chrono::steady_clock::now();
    make_pixmap_view();
    ASSERT_TRUE(pump_until([&] { return map_laid_out(builds, 400); }));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long grown_mb = (resident_kb() - before_kb) / 1024;
    std::printf("opened in %.2f s, grew by %ld MB, map %d x %d\n", seconds, grown_mb, pixmap_data.map_width,
                pixmap_data.map_rows);
    EXPECT_LT(seconds, 5.0);
    EXPECT_LT(grown_mb, 200);

    ASSERT_TRUE(pixmap_data.scrolls);
    EXPECT_EQ(pixmap_data.cell_size, 3);
    EXPECT_EQ(pixmap_data.image, nullptr);  // drawn from the place records
    EXPECT_EQ(pixmap_data.map_width, 300 - pixmap_view_scroll_bar_width);
    EXPECT_TRUE(fs::exists(pixmap_file_name));

    // After a resize the map area takes the new map's size.
    gtk_window_resize(GTK_WINDOW(pixmap_view_widget), 250, 350);
    ASSERT_TRUE(pump_until([] {
        return pixmap_data.width == 250 && pixmap_data.height == 350 &&
               gtk_widget_get_allocated_height(pixmap_data.pixmap_widget) == pixmap_data.map_rows;
    }));

    // The mouse wheel scrolls the map.
    GdkEvent* wheel = gdk_event_new(GDK_SCROLL);
    wheel->scroll.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(pixmap_data.pixmap_widget)));
    wheel->scroll.direction = GDK_SCROLL_DOWN;
    gdk_event_set_device(wheel, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default())));
    gtk_main_do_event(wheel);
    gdk_event_free(wheel);
    EXPECT_TRUE(pump_until([] { return pixmap_view_scroll_top() > 0; }));

    // The last pack, at the bottom of the map.
    pixmap_view_scroll_to(pixmap_data.map_rows);
    pump_pending();
    const int top = pixmap_view_scroll_top();
    EXPECT_EQ(top, pixmap_data.map_rows - window_size().height);
    const pack_place_struct last = pixmap_data.pack_places.back();
    ASSERT_GE(last.y - top, 0);
    {
        screenshot shot;
        EXPECT_EQ(shot.at(last.x + 1, last.y - top + 1), colour_of(first_marker(*last.pack)));
    }
    click(last.x + 1, last.y + 1);
    ASSERT_EQ(pixmap_view_pack_count, 1);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(pixmap_view_pack_details[0])), "Pack # 249999");

    // A pack in the middle, with the map scrolled so that its band starts
    // above the window's top edge by one pixel row.
    const pack_place_struct mid = pixmap_data.pack_places.at(123456);
    pixmap_view_scroll_to(mid.y + 1);
    pump_pending();
    ASSERT_EQ(pixmap_view_scroll_top(), mid.y + 1);
    {
        screenshot shot;
        EXPECT_EQ(shot.at(mid.x, 0), colour_of(first_marker(*mid.pack)));
        EXPECT_EQ(shot.at(mid.x, 1), colour_of(first_marker(*mid.pack)));
        EXPECT_NE(shot.at(mid.x, 2), colour_of(first_marker(*mid.pack)));  // the blank rows
    }
    click(mid.x, mid.y + 1);
    ASSERT_EQ(pixmap_view_pack_count, 2);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(pixmap_view_pack_details[1])), "Pack # 123456");
}


TEST_F(PixmapWindow, ScrollingMapFitsBesideTheBarAtAnySize) {
    init_parser_structs();
    for (int i = 0; i < 3000; ++i) collect_pack(pm::pack(0, {0xE0, 0xC0}));
    make_pixmap_view();
    GtkWidget* scroller = gtk_bin_get_child(GTK_BIN(pixmap_view_widget));
    GtkWidget* vbar = gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(scroller));
    auto beside_the_bar = [&](int width) {
        return [=] { return pixmap_data.map_width + gtk_widget_get_allocated_width(vbar) == width; };
    };
    ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(vbar) && beside_the_bar(window_size().width)(); }));
    ASSERT_TRUE(pixmap_data.scrolls);
    // The map takes the width the vertical bar leaves: its last column is
    // visible and there is no horizontal bar.
    EXPECT_TRUE(gtk_widget_get_mapped(vbar));
    EXPECT_FALSE(gtk_widget_get_mapped(gtk_scrolled_window_get_hscrollbar(GTK_SCROLLED_WINDOW(scroller))));
    EXPECT_EQ(pixmap_data.map_width + gtk_widget_get_allocated_width(vbar), window_size().width);
    const pack_place_struct& widest = *std::max_element(
        pixmap_data.pack_places.begin(), pixmap_data.pack_places.end(),
        [](const pack_place_struct& a, const pack_place_struct& b) { return a.x < b.x; });
    EXPECT_LT(widest.x + 2 * pixmap_data.cell_size, window_size().width - gtk_widget_get_allocated_width(vbar));

    // Forced, as a window manager may, below the window's smallest size:
    // no toolkit assertion fails.
    ::testing::internal::CaptureStderr();
    for (int side : {40, 9, 2, 1}) {
        gdk_window_resize(gtk_widget_get_window(pixmap_view_widget), side, side);
        pump_pending();
    }
    gdk_window_resize(gtk_widget_get_window(pixmap_view_widget), 200, 300);
    pump_until(beside_the_bar(200));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("CRITICAL"), std::string::npos) << err;
    EXPECT_EQ(pixmap_data.map_width + gtk_widget_get_allocated_width(vbar), 200);
}

}  // namespace

// Fontconfig keeps a few allocations of its font cache until exit; they are
// not ours, so the leak check skips them.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

int main(int argc, char** argv) { return gtu::run_window_tests(argc, argv, "pixmap_window_tests"); }
