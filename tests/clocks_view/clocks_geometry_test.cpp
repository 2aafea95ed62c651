// Plot geometry and scrolling of the clock relationships window, without a
// display.
#include <gtest/gtest.h>

#include <climits>
#include <utility>

#include "clocks_model.h"

namespace {

TEST(ClocksGeometry, RowsOfTheReferenceLines) {
    // B = 32768 and a 376 pixel high plot: 256 rows for 65536 clocks.
    clocks_geometry g = make_clocks_geometry(500, 376, 32768);
    EXPECT_EQ(g.scale, 1.0f / 256.0f);
    EXPECT_EQ(g.mid, 188);
    EXPECT_EQ(g.step, 12);
    EXPECT_EQ(g.plus_b_y, 60);
    EXPECT_EQ(g.minus_b_y, 316);
    EXPECT_EQ(g.y_30000, 70);  // trunc(188 - 117.1875)

    // The window's own size with the default boundary.
    g = make_clocks_geometry(500, 400, 70000);
    EXPECT_FLOAT_EQ(g.scale, 0.002f);
    EXPECT_EQ(g.mid, 200);
    EXPECT_EQ(g.plus_b_y, 60);
    EXPECT_EQ(g.minus_b_y, 340);
    EXPECT_EQ(g.y_30000, 140);

    // Odd sizes: integer halves and fortieths.
    g = make_clocks_geometry(479, 401, 70000);
    EXPECT_EQ(g.mid, 200);
    EXPECT_EQ(g.step, 11);
}

TEST(ClocksGeometry, RowOfADifference) {
    const clocks_geometry g = make_clocks_geometry(500, 376, 32768);
    EXPECT_EQ(clocks_row(g, 0), 188);
    EXPECT_EQ(clocks_row(g, 32768), 316);    // SCR ahead of the PTS: below the middle
    EXPECT_EQ(clocks_row(g, -32768), 60);    // PTS ahead of the SCR: above it
    EXPECT_EQ(clocks_row(g, 255), 188);      // 188.996 truncated
    EXPECT_EQ(clocks_row(g, -255), 187);     // 187.004 truncated
    EXPECT_EQ(clocks_row(g, 1000000), 4094); // off the plot, still exact
    EXPECT_EQ(clocks_row(g, -1000000), -3718);
}

TEST(ClocksGeometry, RowsBeyondSixteenBitsStayAtItsEnds) {
    // A pack before the first PTS of a stream whose SCR starts high: far
    // below the plot, never wrapped back into it.
    const clocks_geometry g = make_clocks_geometry(500, 400, 70000);
    EXPECT_EQ(clocks_row(g, 16'416'000), 32767);  // row 33032 would wrap to -32504
    EXPECT_EQ(clocks_row(g, INT32_MAX), 32767);
    EXPECT_EQ(clocks_row(g, -16'600'000), -32768);
    EXPECT_EQ(clocks_row(g, INT32_MIN), -32768);
    const clocks_geometry tight = make_clocks_geometry(500, 400, 1);  // 140 rows per clock
    EXPECT_EQ(clocks_row(tight, INT32_MAX), 32767);
    EXPECT_EQ(clocks_row(tight, INT32_MIN), -32768);
    EXPECT_EQ(clocks_row(tight, 1), 340);
}

TEST(ClocksGeometry, BoundaryFallsBackToTheDefaultWhenNotAboveZero) {
    EXPECT_EQ(usable_clock_boundary(0), 70000);
    EXPECT_EQ(usable_clock_boundary(-1), 70000);
    EXPECT_EQ(usable_clock_boundary(INT32_MIN), 70000);
    EXPECT_EQ(usable_clock_boundary(1), 1);
    EXPECT_EQ(usable_clock_boundary(90), 90);
    EXPECT_EQ(usable_clock_boundary(INT32_MAX), INT32_MAX);

    // The largest boundary gives a finite scale with the lines near the middle.
    const clocks_geometry g = make_clocks_geometry(500, 400, INT32_MAX);
    EXPECT_GT(g.scale, 0.0f);
    EXPECT_EQ(g.plus_b_y, 60);
    EXPECT_EQ(g.minus_b_y, 340);
    EXPECT_EQ(g.y_30000, 199);
}

using shown = std::pair<int, int>;  // first and last pack shown

std::vector<shown> run_ticks(int n_packs, int limit = 1000) {
    std::vector<shown> out;
    int32_t n_clocks_pack = 0;
    for (int i = 0; i < limit; ++i) {
        clocks_frame f = advance_clocks_frame(n_clocks_pack, n_packs);
        out.emplace_back(f.first, f.first + f.count - 1);
        if (f.at_end) break;
    }
    return out;
}

TEST(ClocksScrolling, TenPacksAreAllShownByTheFirstTickWhichIsTheLast) {
    int32_t n = 0;
    clocks_frame f = advance_clocks_frame(n, 10);
    EXPECT_EQ(f.first, 0);
    EXPECT_EQ(f.count, 10);
    EXPECT_TRUE(f.at_end);
    EXPECT_EQ(n, 45);
}

TEST(ClocksScrolling, HundredPacksScrollFivePacksATickUntilTheEnd) {
    std::vector<shown> want;
    for (int first = 0; first <= 60; first += 5) want.emplace_back(first, first + 39);
    want.emplace_back(65, 99);  // 35 points, then the timer stops
    EXPECT_EQ(run_ticks(100), want);
}

TEST(ClocksScrolling, EdgesOfTheWindow) {
    // Exactly 40 packs: the first tick fills the plot, the second runs out.
    EXPECT_EQ(run_ticks(40), (std::vector<shown>{{0, 39}, {5, 39}}));
    EXPECT_EQ(run_ticks(41), (std::vector<shown>{{0, 39}, {5, 40}}));
    EXPECT_EQ(run_ticks(1), (std::vector<shown>{{0, 0}}));
    // No packs at all: one empty tick, then the end.
    std::vector<shown> none = run_ticks(0);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].first, 0);
}

TEST(ClocksScrolling, EveryFifthPackShownCarriesALabel) {
    std::vector<int> labelled;
    for (int n = 0; n < 40; ++n)
        if (clocks_pack_is_labelled(n)) labelled.push_back(n);
    EXPECT_EQ(labelled, (std::vector<int>{4, 9, 14, 19, 24, 29, 34, 39}));
}

}  // namespace
