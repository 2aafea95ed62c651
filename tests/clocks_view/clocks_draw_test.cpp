// Drawing of the clock relationships plot without a display: pixels of an
// image surface for the lines, and the texts with their positions and
// colours as a cairo script surface records them.
#include <gtest/gtest.h>

#include <cairo-script.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "clocks_view.h"
#include "parser.h"
#include "stream_builder.h"
#include "test_util.h"

namespace {

constexpr uint32_t white = 0xFFFFFF, black = 0x000000, blue = 0x0000FF, red = 0xFF0000;

struct image {
    cairo_surface_t* surface;
    int width, height;
    explicit image(int w, int h)
        : surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h)), width(w), height(h) {}
    ~image() { cairo_surface_destroy(surface); }
    uint32_t at(int x, int y) const {
        const unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        return reinterpret_cast<const uint32_t*>(data + y * stride)[x] & 0xFFFFFF;
    }
    bool column_has(int x, int y0, int y1, uint32_t colour) const {
        for (int y = y0; y <= y1; ++y)
            if (at(x, y) == colour) return true;
        return false;
    }
};

void draw(image& img, int32_t boundary, const std::vector<clock_relationship>& video,
          const std::vector<clock_relationship>& audio, clocks_frame frame) {
    cairo_t* cr = cairo_create(img.surface);
    draw_clocks_plot(cr, img.width, img.height, boundary, video, audio, frame);
    cairo_destroy(cr);
    cairo_surface_flush(img.surface);
}

// A small program stream: 8 packs, one video and one audio packet each, with
// the video PTS drifting from 20000 clocks ahead of the SCR to 22000 behind
// it and the audio PTS from 10000 behind to 3000 behind.
sb::bytes small_stream() {
    sb::bytes out;
    for (int k = 0; k < 8; ++k) {
        const uint64_t scr = 90000 + 9000 * k;
        sb::append(out, sb::pack_header(scr, 0, 20000));
        sb::pes_fields v;
        v.pts = scr + 20000 - 6000 * k;
        sb::append(out, sb::pes_packet(0xE0, v, sb::payload_bytes(100, 3)));
        sb::pes_fields a;
        a.pts = scr - 10000 + 1000 * k;
        sb::append(out, sb::pes_packet(0xC0, a, sb::payload_bytes(50, 5)));
    }
    sb::append(out, sb::start_code(0xB9));
    return out;
}

class ClocksDrawing : public ::testing::Test {
protected:
    void SetUp() override {
        tu::temp_dir dir;
        const std::string path = dir.file("small.mpg");
        tu::write_file(path, small_stream());
        delete_parser_structs();
        init_parser_structs();
        _pack_sink = collect_pack;
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        parse_mpeg_file(path.c_str());
        std::fflush(stdout);
        ::testing::internal::GetCapturedStdout();
        compute_clock_relationships(_all_packs_array, video, audio);
        delete_parser_structs();
    }
    std::vector<clock_relationship> video, audio;
};

TEST_F(ClocksDrawing, PolylinesOfASmallStreamLieOnTheirRows) {
    ASSERT_EQ(video.size(), 8u);
    image img(500, 400);
    draw(img, 70000, video, audio, {0, 8, true});

    // 0.002 rows per clock around row 200, 12 columns per pack.
    for (int k = 0; k < 8; ++k) {
        SCOPED_TRACE(k);
        const int x = 12 * k;
        const int video_row = 160 + 12 * k;  // difference -20000 + 6000 k
        const int audio_row = 220 - 2 * k;   // difference 10000 - 1000 k
        EXPECT_EQ(img.at(x, video_row), blue);
        EXPECT_EQ(img.at(x, audio_row), red);
        if (k < 7) {
            // The segments join the points: halfway to the next pack the
            // line lies between the two rows.
            EXPECT_TRUE(img.column_has(x + 6, video_row, video_row + 12, blue));
            EXPECT_TRUE(img.column_has(x + 6, audio_row - 2, audio_row, red));
        }
    }
    // Nothing of either series after the last pack, above the texts.
    for (int x = 86; x < 500; ++x)
        for (int y = 0; y < 350; ++y) ASSERT_FALSE(img.at(x, y) == blue || img.at(x, y) == red) << x << "," << y;

    // Reference lines across the width; white around them.
    for (int x : {100, 300, 499}) {
        for (int y : {60, 140, 200, 340}) EXPECT_EQ(img.at(x, y), black) << x << "," << y;
        for (int y : {59, 61, 139, 141, 199, 201, 339, 341, 10, 390}) EXPECT_EQ(img.at(x, y), white) << x << "," << y;
    }
}

TEST_F(ClocksDrawing, FrameScrolledIntoTheStreamStartsAtTheLeftEdge) {
    image img(500, 400);
    draw(img, 70000, video, audio, {5, 3, true});  // packs 5 to 7
    EXPECT_EQ(img.at(0, 220), blue);
    EXPECT_EQ(img.at(12, 232), blue);
    EXPECT_EQ(img.at(24, 244), blue);
    EXPECT_EQ(img.at(0, 210), red);
    EXPECT_EQ(img.at(24, 206), red);
    EXPECT_NE(img.at(0, 160), blue);  // pack 0 is not shown
}

TEST_F(ClocksDrawing, PointsFarOffThePlotLeaveItThroughItsEdge) {
    // A pack far behind its PTS (row -32768) between two ordinary ones.
    std::vector<clock_relationship> v = video, a = audio;
    v[1].difference = -2000000000;
    a[1].difference = 2000000000;
    image img(500, 400);
    draw(img, 70000, v, a, {0, 3, true});
    EXPECT_EQ(img.at(0, 160), blue);
    EXPECT_EQ(img.at(24, 184), blue);
    EXPECT_TRUE(img.column_has(0, 0, 159, blue));   // heading up and out
    EXPECT_TRUE(img.column_has(24, 0, 183, blue));  // and coming back
    EXPECT_TRUE(img.column_has(0, 221, 399, red));  // the audio one down and out
}

TEST_F(ClocksDrawing, EveryAudioSeriesInItsColourAndNoneOverTheLabels) {
    // Stream 0xC1 on the rows of the 0xC0 audio, AC-3 2000 clocks above it;
    // then both far below the plot, as before their first PTS.
    std::vector<clocks_audio_series> series(2);
    series[0].stream_id = 0xC1;
    series[0].points = audio;
    series[1].stream_id = 0xBD;
    series[1].ac3 = true;
    series[1].points = audio;
    for (clock_relationship& p : series[1].points) p.difference -= 2000;
    image img(500, 400);
    cairo_t* cr = cairo_create(img.surface);
    draw_clocks_plot(cr, img.width, img.height, 70000, video, series, {0, 8, true});
    cairo_destroy(cr);
    cairo_surface_flush(img.surface);
    const uint32_t green = 0x009900;
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(img.at(12 * k, 220 - 2 * k), red) << k;
        EXPECT_EQ(img.at(12 * k, 216 - 2 * k), green) << k;
    }
    EXPECT_EQ(clocks_audio_legend(series[0], 0), "Red = Audio 0xc1");
    EXPECT_EQ(clocks_audio_legend(series[1], 1), "Green = AC-3 0xbd");

    // Lines that run down out of the plot (a stream's SCR less a PTS of 0
    // before its first PTS) leave the seconds labels and the legend as they
    // are drawn without them.
    image far(500, 400), none(500, 400);
    std::vector<clock_relationship> far_video = video;
    for (size_t k = 0; k < far_video.size(); ++k) far_video[k].difference = 60000 + 9000 * static_cast<int>(k);
    for (clocks_audio_series& one : series) one.points = far_video;
    std::vector<clocks_audio_series> hidden = series;
    for (clocks_audio_series& one : hidden) one.points.clear();
    for (auto [target, audio_series] : {std::pair{&far, &series}, std::pair{&none, &hidden}}) {
        cairo_t* c = cairo_create(target->surface);
        draw_clocks_plot(c, 500, 400, 70000, far_video, *audio_series, {0, 8, true});
        cairo_destroy(c);
        cairo_surface_flush(target->surface);
    }
    int differing = 0;
    for (int y = 350; y < 400; ++y)  // from the tops of the seconds labels (baseline 360)
        for (int x = 0; x < 500; ++x) differing += far.at(x, y) != none.at(x, y);
    EXPECT_EQ(differing, 0);
}

// ---------------------------------------------------------------------------
// Texts, as recorded by a script surface.

struct drawn_text {
    std::string text;
    double x, y;
    uint32_t colour;
    bool operator==(const drawn_text&) const = default;
};

std::ostream& operator<<(std::ostream& os, const drawn_text& t) {
    char c[16];
    std::snprintf(c, sizeof c, "%06X", t.colour);
    return os << '"' << t.text << "\" at (" << t.x << ", " << t.y << ") colour " << c;
}

cairo_status_t append_to_string(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

std::vector<drawn_text> texts_of(int width, int height, int32_t boundary,
                                 const std::vector<clock_relationship>& video,
                                 const std::vector<clock_relationship>& audio, clocks_frame frame) {
    std::string script;
    cairo_device_t* dev = cairo_script_create_for_stream(append_to_string, &script);
    cairo_surface_t* s = cairo_script_surface_create(dev, CAIRO_CONTENT_COLOR, width, height);
    cairo_t* cr = cairo_create(s);
    draw_clocks_plot(cr, width, height, boundary, video, audio, frame);
    cairo_destroy(cr);
    cairo_surface_finish(s);
    cairo_surface_destroy(s);
    cairo_device_finish(dev);
    cairo_device_destroy(dev);

    std::vector<drawn_text> out;
    uint32_t colour = 0;
    std::istringstream in(script);
    std::string line;
    auto to8 = [](double v) { return static_cast<uint32_t>(v * 255 + 0.5); };
    while (std::getline(in, line)) {
        if (line.ends_with(" set-source")) {
            std::istringstream ls(line);
            double r, g, b;
            std::string kind;
            ls >> r >> kind;
            if (kind == "g") {
                g = b = r;
            } else {
                g = std::stod(kind);
                ls >> b;
            }
            colour = to8(r) << 16 | to8(g) << 8 | to8(b);
        } else if (line.starts_with("(") && line.ends_with("show-text-glyphs")) {
            const size_t close = line.find(") [");
            drawn_text t{line.substr(1, close - 1), 0, 0, colour};
            std::istringstream ls(line.substr(close + 3));
            ls >> t.x >> t.y;
            out.push_back(t);
        }
    }
    return out;
}

std::vector<clock_relationship> records(int n, uint32_t scr0, uint32_t scr_step) {
    std::vector<clock_relationship> r(n);
    for (int i = 0; i < n; ++i) r[i] = {0, static_cast<float>((scr0 + scr_step * i) / 90000.0), i};
    return r;
}

TEST(ClocksTexts, LegendAndReferenceTextsOfTheWindowSize) {
    // The small stream's 8 packs: one seconds label, for the 5th pack.
    std::vector<clock_relationship> r = records(8, 90000, 9000);
    const std::vector<drawn_text> want = {
        {"1.40", 48, 360, black},
        {"Secs", 5, 360, black},
        {"Blue = Video", 5, 380, blue},
        {"Red = Audio 0xc0", 250, 380, red},
        {"SCR", 0, 200, black},
        {"70000 Clocks", 0, 60, black},
        {"-70000 Clocks", 0, 340, black},
        {"30000 Clocks", 0, 140, black},
    };
    EXPECT_EQ(texts_of(500, 400, 70000, r, r, {0, 8, true}), want);
}

TEST(ClocksTexts, EveryFifthPackOfAFullFrameIsLabelledWithItsSeconds) {
    // B = 32768 on a 376 row plot: -B line at row 316.
    std::vector<clock_relationship> r = records(60, 0, 4500);  // 0.05 s a pack
    std::vector<drawn_text> got = texts_of(500, 376, 32768, r, r, {10, 40, false});
    std::vector<drawn_text> want;
    for (int n = 4; n < 40; n += 5) {
        char s[16];
        std::snprintf(s, sizeof s, "%1.2f", (10 + n) * 0.05);
        want.push_back({s, 12.0 * n, 336, black});
    }
    want.push_back({"Secs", 5, 336, black});
    want.push_back({"Blue = Video", 5, 356, blue});
    want.push_back({"Red = Audio 0xc0", 250, 356, red});
    want.push_back({"SCR", 0, 188, black});
    want.push_back({"32768 Clocks", 0, 60, black});
    want.push_back({"-32768 Clocks", 0, 316, black});
    want.push_back({"30000 Clocks", 0, 70, black});
    EXPECT_EQ(got, want);
    ASSERT_GE(got.size(), 8u);
    EXPECT_EQ(got[0].text, "0.70");
    EXPECT_EQ(got[7].text, "2.45");
}

}  // namespace

// Fontconfig keeps a few allocations of its font cache until exit; they are
// not ours, so the leak check skips them.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
