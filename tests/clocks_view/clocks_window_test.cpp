// The clock relationships window on a display (run under xvfb-run): opening
// on a real stream, scrolling to the end, closing and opening again.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "clocks_view.h"
#include "config.h"
#include "gtk_test_util.h"
#include "parser.h"

namespace {

using gtu::pump_until;

void pump_pending() { gtu::pump_pending(50); }

GtkWidget* drawing_area() {
    return gtk_bin_get_child(GTK_BIN(clocks_relationships_view_widget));
}

// True when the back buffer holds exactly what drawing `frame` gives.
::testing::AssertionResult back_buffer_shows(const clocks_frame& frame) {
    if (!clocks_pixmap) return ::testing::AssertionFailure() << "no back buffer";
    cairo_surface_flush(clocks_pixmap);
    const int w = cairo_image_surface_get_width(clocks_pixmap);
    const int h = cairo_image_surface_get_height(clocks_pixmap);
    cairo_surface_t* want = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_t* cr = cairo_create(want);
    draw_clocks_plot(cr, w, h, clocks_boundary, video_relationship, audio_relationship, frame);
    cairo_destroy(cr);
    cairo_surface_flush(want);
    int differing = 0;
    for (int y = 0; y < h; ++y) {
        auto a = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(clocks_pixmap) +
                                                   y * cairo_image_surface_get_stride(clocks_pixmap));
        auto b = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(want) +
                                                   y * cairo_image_surface_get_stride(want));
        for (int x = 0; x < w; ++x) differing += (a[x] & 0xFFFFFF) != (b[x] & 0xFFFFFF);
    }
    cairo_surface_destroy(want);
    if (differing) return ::testing::AssertionFailure() << differing << " pixels differ";
    return ::testing::AssertionSuccess();
}

class ClocksWindow : public ::testing::Test {
protected:
    void SetUp() override {
        tarvel_clock_boundaries = 70000;
        delete_parser_structs();
        init_parser_structs();
        _pack_sink = collect_pack;
        const std::string path = std::string(TEST_DATA_DIR) + "/mpeg2_bframes_ffmpeg.mpg";  // 77 packs
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        parse_mpeg_file(path.c_str());
        std::fflush(stdout);
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(_n_all_packs(), 77);
    }
    void TearDown() override {
        close_clocks_relationships_view();
        pump_pending();
        delete_parser_structs();
    }
};

TEST_F(ClocksWindow, ScrollsFivePacksATickToTheEndOfTheStreamAndStops) {
    make_clocks_relationships_view();
    ASSERT_TRUE(clocks_relationships_view_instantiated);
    ASSERT_NE(clocks_relationships_view_widget, nullptr);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(clocks_relationships_view_widget)), "Clock Relationships");
    GtkWidget* area = drawing_area();
    ASSERT_TRUE(GTK_IS_DRAWING_AREA(area));
    int w = 0, h = 0;
    gtk_widget_get_size_request(area, &w, &h);
    EXPECT_EQ(w, 500);
    EXPECT_EQ(h, 400);
    EXPECT_EQ(video_relationship.size(), 77u);
    EXPECT_EQ(n_clocks_pack, 0);
    const guint timer = clocks_interval_id;
    ASSERT_NE(timer, 0u);

    // Ticks show 0-39, 5-44, ..., 35-74, then 40-76 (37 packs) and stop.
    std::vector<int32_t> positions;
    const bool ended = pump_until(
        [&] {
            if (positions.empty() || positions.back() != n_clocks_pack) positions.push_back(n_clocks_pack);
            return clocks_interval_id == 0;
        });
    ASSERT_TRUE(ended) << "the timer never stopped";
    EXPECT_EQ(positions, (std::vector<int32_t>{0, 45, 50, 55, 60, 65, 70, 75, 80, 85}));
    EXPECT_EQ(g_main_context_find_source_by_id(nullptr, timer), nullptr);

    pump_until([&] {
        return gtk_widget_get_allocated_width(area) == 500 && gtk_widget_get_allocated_height(area) == 400;
    });
    EXPECT_EQ(gtk_widget_get_allocated_width(area), 500);
    EXPECT_EQ(gtk_widget_get_allocated_height(area), 400);
    EXPECT_TRUE(back_buffer_shows({40, 37, true}));

    // The window's draw handler paints the back buffer.
    cairo_surface_t* shown = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 500, 400);
    cairo_t* cr = cairo_create(shown);
    gtk_widget_draw(area, cr);
    cairo_destroy(cr);
    cairo_surface_flush(shown);
    const clocks_geometry g = make_clocks_geometry(500, 400, 70000);
    auto shown_at = [&](int x, int y) {
        const unsigned char* row = cairo_image_surface_get_data(shown) + y * cairo_image_surface_get_stride(shown);
        return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFFu;
    };
    int red_points = 0;
    for (int n = 0; n < 37; ++n) {
        const int ay = clocks_row(g, audio_relationship[40 + n].difference);
        if (ay < 0 || ay >= 400) continue;
        EXPECT_EQ(shown_at(n * g.step, ay), 0xFF0000u) << "audio of pack " << 40 + n;
        ++red_points;
    }
    EXPECT_GT(red_points, 30);
    EXPECT_EQ(shown_at(499, g.mid), 0u);
    EXPECT_EQ(shown_at(499, g.mid + 1), 0xFFFFFFu);
    cairo_surface_destroy(shown);

    // Another wait changes nothing: the plot stays as drawn.
    pump_until([] { return false; }, 0.7);  // nothing waits for it: the plot must not move
    EXPECT_EQ(n_clocks_pack, 85);
    EXPECT_TRUE(back_buffer_shows({40, 37, true}));
}

TEST_F(ClocksWindow, ClosingFreesEverythingAndOpeningAgainStartsFromTheFirstPack) {
    make_clocks_relationships_view();
    ASSERT_TRUE(pump_until([] { return n_clocks_pack >= 50; }));
    const guint timer = clocks_interval_id;
    ASSERT_NE(timer, 0u);

    close_clocks_relationships_view();
    EXPECT_FALSE(clocks_relationships_view_instantiated);
    EXPECT_EQ(clocks_relationships_view_widget, nullptr);
    EXPECT_EQ(clocks_interval_id, 0u);
    EXPECT_EQ(g_main_context_find_source_by_id(nullptr, timer), nullptr);
    EXPECT_EQ(clocks_pixmap, nullptr);
    EXPECT_TRUE(video_relationship.empty());
    EXPECT_TRUE(audio_relationship.empty());
    close_clocks_relationships_view();  // closing a closed view does nothing
    pump_until([] { return false; }, 0.7);  // no tick runs any more

    make_clocks_relationships_view();
    ASSERT_TRUE(clocks_relationships_view_instantiated);
    EXPECT_EQ(n_clocks_pack, 0);
    EXPECT_NE(clocks_interval_id, 0u);
    ASSERT_TRUE(pump_until([] { return n_clocks_pack == 45; }));
    EXPECT_TRUE(back_buffer_shows({0, 40, false}));

    // Closed by the window manager: the same clean-up.
    gtk_widget_destroy(clocks_relationships_view_widget);
    EXPECT_FALSE(clocks_relationships_view_instantiated);
    EXPECT_EQ(clocks_interval_id, 0u);
    EXPECT_EQ(clocks_pixmap, nullptr);
}

TEST_F(ClocksWindow, ResizingKeepsTheLastFrame) {
    make_clocks_relationships_view();
    ASSERT_TRUE(pump_until([] { return clocks_interval_id == 0; }));
    gtk_window_resize(GTK_WINDOW(clocks_relationships_view_widget), 600, 480);
    ASSERT_TRUE(pump_until([] { return gtk_widget_get_allocated_height(drawing_area()) == 480; }));
    ASSERT_TRUE(pump_until([] { return clocks_pixmap && cairo_image_surface_get_height(clocks_pixmap) == 480; }));
    EXPECT_EQ(cairo_image_surface_get_width(clocks_pixmap), 600);
    EXPECT_EQ(cairo_image_surface_get_height(clocks_pixmap), 480);
    EXPECT_TRUE(back_buffer_shows({40, 37, true}));
}

TEST_F(ClocksWindow, BoundaryNotAboveZeroFallsBackToTheDefaultWithOneLine) {
    for (int32_t configured : {0, INT32_MIN}) {
        SCOPED_TRACE(configured);
        tarvel_clock_boundaries = configured;
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        make_clocks_relationships_view();
        std::fflush(stdout);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "clock_boundaries " + std::to_string(configured) +
                           " is not above 0, plotting with 70000 clocks\n");
        EXPECT_EQ(clocks_boundary, 70000);
        EXPECT_EQ(tarvel_clock_boundaries, configured);  // the configuration stays as read
        ASSERT_TRUE(pump_until([] { return n_clocks_pack == 45; }));
        EXPECT_TRUE(back_buffer_shows({0, 40, false}));
        close_clocks_relationships_view();
    }

    tarvel_clock_boundaries = 90;
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    make_clocks_relationships_view();
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(clocks_boundary, 90);
}

}  // namespace

int main(int argc, char** argv) { return gtu::run_window_tests(argc, argv, "clocks_window_tests"); }

// Fontconfig keeps a few allocations of its font cache until exit; they are
// not ours, so the leak check skips them.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
