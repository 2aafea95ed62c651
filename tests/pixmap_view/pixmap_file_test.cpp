// The map file of real streams, without a display: where it is written, that
// the XPM loader reads it with the table's colours at the cells' places, and
// that drawing the map from the place records gives the same pixels.
#include <gtest/gtest.h>

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <filesystem>
#include <string>

#include "pack_model.h"
#include "parser.h"
#include "pixmap_view.h"

namespace {

namespace fs = std::filesystem;

void parse(const std::string& name) {
    init_parser_structs();
    _pack_sink = collect_pack;
    parse_mpeg_file((std::string(TEST_DATA_DIR) + "/" + name).c_str());
    ASSERT_GT(_n_all_packs(), 0) << name;
}

struct rgba {
    uint8_t r, g, b, a;
    bool operator==(const rgba&) const = default;
};

rgba pixel(GdkPixbuf* image, int x, int y) {
    const guchar* p = gdk_pixbuf_get_pixels(image) + y * gdk_pixbuf_get_rowstride(image) +
                      x * gdk_pixbuf_get_n_channels(image);
    return {p[0], p[1], p[2], gdk_pixbuf_get_has_alpha(image) ? p[3] : uint8_t{255}};
}

rgba colour_of(char marker) {
    uint8_t rgb[3];
    EXPECT_TRUE(marker_rgb(marker, rgb)) << marker;
    return {rgb[0], rgb[1], rgb[2], 255};
}

// Every cell of every pack, and the blank rows under each band.
void expect_cells(GdkPixbuf* image) {
    const int cs = pixmap_data.cell_size;
    const int w = gdk_pixbuf_get_width(image);
    for (const auto& place : pixmap_data.pack_places) {
        std::string markers(place.pack->system_headers.size(), '!');
        for (const auto& packet : place.pack->packets) markers += marker_from_stream(packet.stream_id);
        for (size_t j = 0; j < markers.size(); ++j) {
            int x = place.x + static_cast<int>(j) * cs;
            if (x + cs > w) break;
            ASSERT_EQ(pixel(image, x, place.y), colour_of(markers[j])) << x << "," << place.y;
            ASSERT_EQ(pixel(image, x + cs - 1, place.y + cs - 1), colour_of(markers[j]));
        }
        ASSERT_EQ(pixel(image, place.x, place.y + cs).a, 0);
        ASSERT_EQ(pixel(image, place.x, place.y + cs + 1).a, 0);
    }
}

// Pixels of draw_pack_map for map rows [top, top + height), as RGBA.
std::vector<rgba> drawn_rows(int top, int height) {
    const int w = pixmap_data.map_width;
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, height);
    cairo_t* cr = cairo_create(s);
    draw_pack_map(cr, pixmap_data.pack_places, pixmap_data.cell_size, w, top, height);
    cairo_destroy(cr);
    cairo_surface_flush(s);
    std::vector<rgba> out;
    for (int y = 0; y < height; ++y) {
        auto row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                     y * cairo_image_surface_get_stride(s));
        for (int x = 0; x < w; ++x)
            out.push_back({static_cast<uint8_t>(row[x] >> 16), static_cast<uint8_t>(row[x] >> 8),
                           static_cast<uint8_t>(row[x]), static_cast<uint8_t>(row[x] >> 24)});
    }
    cairo_surface_destroy(s);
    return out;
}

std::vector<rgba> image_rows(GdkPixbuf* image, int top, int height) {
    std::vector<rgba> out;
    for (int y = top; y < top + height; ++y)
        for (int x = 0; x < gdk_pixbuf_get_width(image); ++x) {
            rgba p = pixel(image, x, y);
            out.push_back(p.a ? p : rgba{0, 0, 0, 0});
        }
    return out;
}

class MapFileOfStream : public ::testing::Test {
protected:
    void TearDown() override {
        if (!pixmap_file_name.empty()) std::remove(pixmap_file_name.c_str());
        pixmap_file_name.clear();
        delete_parser_structs();
    }
};

TEST_F(MapFileOfStream, WrittenUnderTmpAndReplacedByTheNextOne) {
    parse("mpeg2_bframes_ffmpeg.mpg");
    ASSERT_TRUE(make_pixmap_file(300, 400));
    std::string first = pixmap_file_name;
    EXPECT_EQ(first.rfind("/tmp/mpgtl", 0), 0u) << first;
    EXPECT_TRUE(fs::exists(first));
    EXPECT_EQ(pixmap_data.pack_places.size(), static_cast<size_t>(_n_all_packs()));
    EXPECT_EQ(pixmap_data.map_width, 300);

    ASSERT_TRUE(make_pixmap_file(200, 100));
    EXPECT_NE(pixmap_file_name, first);
    EXPECT_FALSE(fs::exists(first));
    EXPECT_TRUE(fs::exists(pixmap_file_name));
}

TEST_F(MapFileOfStream, LoadsWithTheTablesColoursForEverySample) {
    for (const char* name : {"mpeg2_bframes_ffmpeg.mpg", "dvd_nav_mplex.vob", "mpeg1_generic_mplex.mpg",
                             "mpeg2_two_audio_ffmpeg.mpg", "dvd_ac3_ffmpeg.vob"}) {
        SCOPED_TRACE(name);
        parse(name);
        ASSERT_TRUE(make_pixmap_file(300, 400));
        GdkPixbuf* image = load_pixmap_file(pixmap_file_name.c_str());
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(gdk_pixbuf_get_width(image), 300);
        EXPECT_EQ(gdk_pixbuf_get_height(image), pixmap_data.map_rows);
        expect_cells(image);
        EXPECT_TRUE(drawn_rows(0, pixmap_data.map_rows) == image_rows(image, 0, pixmap_data.map_rows));
        g_object_unref(image);
        delete_parser_structs();
    }
}

TEST_F(MapFileOfStream, MapTallerThanTheWindowDrawsLikeItsFile) {
    // 6000 packs cannot fit a window of 300 x 400 even with cells of 3.
    init_parser_structs();
    for (int i = 0; i < 6000; ++i)
        collect_pack(i % 50 == 0 ? pm::pack(1, {0xBF, 0xBF}) : pm::pack(0, {0xE0, i % 3 ? 0xC0 : 0xBD}));
    ASSERT_TRUE(make_pixmap_file(300, 400));
    EXPECT_TRUE(pixmap_data.scrolls);
    EXPECT_EQ(pixmap_data.cell_size, 3);
    EXPECT_EQ(pixmap_data.map_width, 300);
    EXPECT_GT(pixmap_data.map_rows, 400);

    GdkPixbuf* image = load_pixmap_file(pixmap_file_name.c_str());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(gdk_pixbuf_get_width(image), 300);
    EXPECT_EQ(gdk_pixbuf_get_height(image), pixmap_data.map_rows);
    expect_cells(image);
    // Any window onto the map, even one starting inside a band, shows the
    // rows of the file.
    for (int top : {0, 1, 437, pixmap_data.map_rows - 400})
        EXPECT_TRUE(drawn_rows(top, 400) == image_rows(image, top, 400)) << top;
    g_object_unref(image);
}

}  // namespace
