// Layout of the overview map without a display: markers, cell size, the
// columns and bands of packs, the map file's text and hit-testing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "pack_model.h"
#include "pixmap_layout.h"

namespace {

TEST(Markers, EveryStreamOfTheTableAndOthers) {
    const std::pair<int, char> table[] = {
        {0xBC, 'a'}, {0xBD, 'b'}, {0xBE, 'c'}, {0xBF, 'd'}, {0xF0, 'e'}, {0xF1, 'f'},
        {0xF2, 'g'}, {0xF3, 'h'}, {0xF4, 'i'}, {0xF5, 'j'}, {0xF6, 'k'}, {0xF7, 'l'},
        {0xF8, 'm'}, {0xF9, 'n'}, {0xFF, 'o'}, {0xC0, 'p'}, {0xC1, 'q'}, {0xC2, 'r'},
        {0xC3, 's'}, {0xE0, 't'}, {0xE1, 'u'}, {0xE2, 'v'},
    };
    for (auto [id, marker] : table) EXPECT_EQ(marker_from_stream(id), marker) << std::hex << id;
    for (int id : {0xE3, 0xC4, 0xEF, 0xDF, 0xFA, 0xFE, 0xBA, 0x00})
        EXPECT_EQ(marker_from_stream(id), 'w') << std::hex << id;

    uint8_t rgb[3];
    ASSERT_TRUE(marker_rgb('w', rgb));
    EXPECT_EQ(rgb[0], 0x11);
    EXPECT_EQ(rgb[1], 0x11);
    EXPECT_EQ(rgb[2], 0x11);
    ASSERT_TRUE(marker_rgb('e', rgb));  // #0123f2100043: the high byte of each component
    EXPECT_EQ(rgb[0], 0x01);
    EXPECT_EQ(rgb[1], 0xf2);
    EXPECT_EQ(rgb[2], 0x00);
    EXPECT_FALSE(marker_rgb(' ', rgb));
    EXPECT_FALSE(marker_rgb('x', rgb));
}

TEST(CellSize, StopsBeforeTheEstimateFillsTheWindow) {
    // 1000 one-packet packs: at size 8 the estimate is 41 rows of
    // 300 * 8 + 600 = 123000 >= 300 * 400; at size 7 it is 37 * 2756 = 101972.
    auto packs = pm::packs(1000, 0, {0xE0});
    EXPECT_EQ(choose_cell_size(packs, 300, 400), 7);
    EXPECT_EQ(estimate_map_area(packs, 7, 300, INT64_MAX), 101972);
    EXPECT_EQ(estimate_map_area(packs, 8, 300, INT64_MAX), 123000);
    // A lower window: size 5 already reaches 30 * 2130 = 63900 >= 60000.
    EXPECT_EQ(choose_cell_size(packs, 300, 200), 4);
    // So many packs that size 4 fills the window: the size is 3.
    auto many = pm::packs(100000, 0, {0xE0, 0xC0});
    EXPECT_EQ(choose_cell_size(many, 300, 400), 3);
    EXPECT_EQ(choose_cell_size(many, 1920, 1080), 3);
}

TEST(CellSize, FewPacksStopAtTheLargestSizeThatFitsARow) {
    // One pack of two cells never fills the estimate; the largest size at
    // which it and its gap are narrower than the row: 2 * 147 + 4 = 298.
    auto one = pm::packs(1, 0, {0xE0, 0xC0});
    EXPECT_EQ(choose_cell_size(one, 300, 400), 147);
    // With a pack of three cells in a row of 8 pixels only size 1 fits.
    auto wide = pm::packs(2, 1, {0xE0, 0xC0});
    EXPECT_EQ(choose_cell_size(wide, 8, 400), 1);
    // Nothing fits at all, and even an empty stream ends the search.
    EXPECT_EQ(choose_cell_size(wide, 3, 400), 1);
    pixmap_pack_list none;
    EXPECT_GE(choose_cell_size(none, 300, 400), 1);
    // Two one-cell packs: the estimate reaches 300 * 400 at size 243,
    // (2 * 247) * 243 + 600 = 120642; at 242 it is 119664.
    auto two = pm::packs(2, 0, {0xE0});
    EXPECT_EQ(choose_cell_size(two, 300, 400), 242);
}

TEST(Layout, PackOfHeaderAndTwoPacketsAtSizeFour) {
    auto packs = pm::packs(1, 1, {0xE0, 0xC0});
    std::vector<pack_place_struct> places;
    int32_t rows = layout_pack_places(packs, 4, 40, places);
    EXPECT_EQ(rows, 4 + 2);  // the band: four pixel rows and two blank ones
    ASSERT_EQ(places.size(), 1u);
    EXPECT_EQ(places[0].pack.list, &packs);
    EXPECT_EQ(places[0].pack.index, 0u);
    EXPECT_EQ(places[0].x, 0);
    EXPECT_EQ(places[0].y, 0);
    EXPECT_EQ(band_row_text(places, 0, 1, 4, 40), "!!!!ttttpppp" + std::string(28, ' '));
}

TEST(Layout, PacksWrapWhenTheirCellsWouldReachTheLastColumn) {
    // Cells of 4, packs of two cells (8 pixels plus the gap of 4).
    auto packs = pm::packs(7, 0, {0xBD, 0xBE});
    std::vector<pack_place_struct> places;
    int32_t rows = layout_pack_places(packs, 4, 40, places);
    const int32_t want[][2] = {{0, 0}, {12, 0}, {24, 0}, {0, 6}, {12, 6}, {24, 6}, {0, 12}};
    for (size_t i = 0; i < places.size(); ++i) {
        EXPECT_EQ(places[i].x, want[i][0]) << i;
        EXPECT_EQ(places[i].y, want[i][1]) << i;
    }
    EXPECT_EQ(rows, 18);
    EXPECT_EQ(band_row_text(places, 0, 3, 4, 40), "bbbbcccc    bbbbcccc    bbbbcccc        ");

    // 12 + 8 = 20 is not less than a width of 20, but less than 21; the
    // second pack's gap then reaches past the row and is cut.
    layout_pack_places(packs, 4, 20, places);
    EXPECT_EQ(places[1].x, 0);
    EXPECT_EQ(places[1].y, 6);
    layout_pack_places(packs, 4, 21, places);
    EXPECT_EQ(places[1].x, 12);
    EXPECT_EQ(places[1].y, 0);
    EXPECT_EQ(places[2].y, 6);
    EXPECT_EQ(band_row_text(places, 0, 2, 4, 21), "bbbbcccc    bbbbcccc ");
}

TEST(Layout, PackWiderThanTheRowGetsARowOfItsOwn) {
    pixmap_pack_list packs;
    packs.push_back(pm::pack(0, {0xE0}));
    packs.push_back(pm::pack(2, {0xE0, 0xE1, 0xE2, 0xE3}));
    packs.push_back(pm::pack(0, {0xC0}));
    std::vector<pack_place_struct> places;
    int32_t rows = layout_pack_places(packs, 2, 10, places);
    EXPECT_EQ(places[1].x, 0);
    EXPECT_EQ(places[1].y, 4);
    EXPECT_EQ(places[2].y, 8);
    EXPECT_EQ(rows, 12);
    EXPECT_EQ(band_row_text(places, 1, 2, 2, 10), "!!!!ttuuvv");
}

// The whole map file of a small stream.
TEST(MapFile, HeaderColoursAndRows) {
    pixmap_pack_list packs;
    packs.push_back(pm::pack(1, {0xE0}));
    packs.push_back(pm::pack(0, {0xBD}));
    packs.push_back(pm::pack(0, {0xC4, 0xFF}));
    std::vector<pack_place_struct> places;
    int32_t rows = layout_pack_places(packs, 2, 12, places);
    ASSERT_EQ(rows, 8);

    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    ASSERT_TRUE(write_map_text(out, places, 2, 12, rows));
    std::fclose(out);
    std::string got(text, size);
    std::free(text);

    const std::string want =
        "/* XPM stream view */\n"
        "static const char *xpm_packs = {\n"
        "\"12 9 25 1\"\n"
        "\"        c None\"\n"
        "\"!       c #fa00a1006100\"\n"
        "\"a       c #121200003e3e\"\n"
        "\"b       c #f0000000ff00\"\n"
        "\"c       c #000000000000\"\n"
        "\"d       c #0000f000ff00\"\n"
        "\"e       c #0123f2100043\"\n"
        "\"f       c #0444ff180311\"\n"
        "\"g       c #0fe1fe300978\"\n"
        "\"h       c #0efa10f00013\"\n"
        "\"i       c #0aaf10010181\"\n"
        "\"j       c #0bca03a1009a\"\n"
        "\"k       c #1af00b12001a\"\n"
        "\"l       c #0fa1d001002b\"\n"
        "\"m       c #0bbc00320045\"\n"
        "\"n       c #0cab000009a1\"\n"
        "\"o       c #0000f9101af1\"\n"
        "\"p       c #ff0100000000\"\n"
        "\"q       c #ff010ab0ab00\"\n"
        "\"r       c #ff010f000000\"\n"
        "\"s       c #ff011f000f00\"\n"
        "\"t       c #00000000ff01\"\n"
        "\"u       c #50005000ff01\"\n"
        "\"v       c #a000a000ff01\"\n"
        "\"w       c #111111111111\"\n"
        "\"!!tt    bb  \"\n"
        "\"!!tt    bb  \"\n"
        "\"            \"\n"
        "\"            \"\n"
        "\"wwoo        \"\n"
        "\"wwoo        \"\n"
        "\"            \"\n"
        "\"            \"\n"
        "\"            \"};";
    EXPECT_EQ(got, want);
}

TEST(HitTest, OnlyThePacksFirstCellOpensIt) {
    auto packs = pm::packs(7, 1, {0xE0});
    std::vector<pack_place_struct> places;
    layout_pack_places(packs, 3, 40, places);  // packs of 6 + 4 pixels, 4 a row
    ASSERT_EQ(places[5].x, 10);
    ASSERT_EQ(places[5].y, 5);
    EXPECT_EQ(find_pack_at(places, 3, 10, 5), 5);
    EXPECT_EQ(find_pack_at(places, 3, 12, 7), 5);
    EXPECT_EQ(find_pack_at(places, 3, 13, 5), -1);  // its second cell
    EXPECT_EQ(find_pack_at(places, 3, 9, 5), -1);   // the gap before it
    EXPECT_EQ(find_pack_at(places, 3, 10, 8), -1);  // the blank rows below
    EXPECT_EQ(find_pack_at(places, 3, 10, 4), -1);  // the blank rows above
    EXPECT_EQ(find_pack_at(places, 3, 0, 0), 0);
    EXPECT_EQ(find_pack_at(places, 3, 2, 7), 4);
    EXPECT_EQ(find_pack_at(places, 3, 0, 10), -1);  // below the last band
    EXPECT_EQ(find_pack_at(places, 3, 39, 1000), -1);
    EXPECT_EQ(find_pack_at(places, 3, -1, -1), -1);

    // Bands met by the rows 6 to 10: the second (rows 5 to 7) and the third.
    size_t first = 0, last = 0;
    packs_in_rows(places, 3, 6, 5, first, last);
    EXPECT_EQ(first, 4u);
    EXPECT_EQ(last, 7u);
    packs_in_rows(places, 3, 8, 2, first, last);
    EXPECT_EQ(first, last);
}

}  // namespace
