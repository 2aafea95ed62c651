// One stream's graph drawn on an image surface, without any display.
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "buffer_analysis_view.h"

namespace {

class GraphDrawTest : public ::testing::Test {
protected:
    GraphDrawTest() { init_buffer_track(record, 0xE0); }
    ~GraphDrawTest() override {
        if (surface) cairo_surface_destroy(surface);
    }
    void draw(int width, int height) {
        surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
        cairo_t* cr = cairo_create(surface);
        render_buffer_graph(cr, width, height, record);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
    }
    void points(int n, int32_t occupancy) {
        for (int i = 0; i < n; ++i) append_ring_point(record, {occupancy, 0.01f * i});
    }
    // Whether the pixel is the given colour (within rounding).
    bool is(int x, int y, graph_colour c) {
        const auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(surface) +
                                                             y * cairo_image_surface_get_stride(surface));
        const uint32_t p = row[x];
        auto near = [](uint32_t got, uint16_t want) { return std::abs(int(got & 0xFF) - int(want >> 8)) <= 1; };
        return near(p >> 16, c.red) && near(p >> 8, c.green) && near(p, c.blue);
    }
    bool any(graph_colour c) {
        for (int y = 0; y < cairo_image_surface_get_height(surface); ++y)
            for (int x = 0; x < cairo_image_surface_get_width(surface); ++x)
                if (is(x, y, c)) return true;
        return false;
    }

    buffer_occupancy_struct record{};
    cairo_surface_t* surface = nullptr;
    static constexpr graph_colour black{0, 0, 0};
};

// 9000 bytes on 100 rows: 100 bytes a pixel, so the buffer size sits on row
// 10, its 30 % (2700) on row 73 and its 66.667 % (6000) on row 40.
TEST_F(GraphDrawTest, LevelsSitAtNineTenthsOfTheHeightAndBelow) {
    record.buffer_size = 9000;
    draw(200, 100);
    EXPECT_TRUE(is(150, 10, buffer_size_line_colour));
    EXPECT_TRUE(is(150, 9, black));
    EXPECT_TRUE(is(150, 11, black));
    EXPECT_TRUE(is(150, 73, reference_line_colour));
    EXPECT_TRUE(is(150, 40, reference_line_colour));
    EXPECT_FALSE(any(occupancy_line_colour));  // an empty ring: no line
    EXPECT_TRUE(is(0, 50, black));             // and no time mark
    // The default video buffer on a 301-pixel graph (three streams on a
    // 1024-pixel screen).
    EXPECT_EQ(graph_row(229376, graph_bytes_per_pixel(229376, 301), 301), 31);
}

TEST_F(GraphDrawTest, OccupancyLineAndTimeMarksFollowTheRing) {
    record.buffer_size = 9000;
    points(60, 4500);
    draw(200, 100);
    EXPECT_TRUE(is(100, 55, occupancy_line_colour));  // 4500 bytes: row 55
    EXPECT_TRUE(is(150, 55, black));                  // past point 59 at x 118
    for (int x : {0, 40, 80}) EXPECT_TRUE(is(x, 50, reference_line_colour)) << x;  // points 0, 20, 40
    EXPECT_TRUE(is(41, 50, black));
    EXPECT_TRUE(is(120, 50, black));
}

TEST_F(GraphDrawTest, FewPointsHaveOneMarkAndOverflowReachesTheTop) {
    record.buffer_size = 9000;
    points(20, 10000);  // 1/0.9 of the buffer size
    draw(200, 100);
    EXPECT_TRUE(is(0, 50, reference_line_colour));
    EXPECT_TRUE(is(40, 50, black));
    EXPECT_TRUE(is(20, 0, occupancy_line_colour));
}

// An empty buffer lies on the bottom row, not below the graph; the
// reference lines are blue on the black strip.
TEST_F(GraphDrawTest, EmptyBufferOnTheBottomRowAndBlueReferenceLines) {
    record.buffer_size = 9000;
    points(60, 0);
    draw(200, 100);
    EXPECT_TRUE(is(100, 99, occupancy_line_colour));
    EXPECT_GT(reference_line_colour.blue, 2 * reference_line_colour.red);
    EXPECT_GT(reference_line_colour.blue, 2 * reference_line_colour.green);
    EXPECT_GT(reference_line_colour.blue, 0xC000);
}

// The text drawing loads fonts into caches that live to the end of the
// process; empty them so that leak checkers see only real leaks.
class FontCaches : public ::testing::Environment {
public:
    void TearDown() override {
        cairo_debug_reset_static_data();
        FcFini();
    }
};
const auto* font_caches = ::testing::AddGlobalTestEnvironment(new FontCaches);

}  // namespace
