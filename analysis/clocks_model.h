// Records and plot geometry of the clock relationships window.  No GTK and
// no drawing here, so all of it can be checked without a display.
//
// For every pack the window plots how far the pack's SCR lies from the latest
// PTS seen so far of the first video stream (0xE0) and of every audio stream
// it can time (MPEG audio 0xC0-0xDF, AC-3 in 0xBD), in 90 kHz clocks.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "model.h"

// One point of the plot: one per pack and stream kind.
struct clock_relationship {
    int32_t difference = 0;  // pack scr - latest PTS (low 32 bits, 32-bit arithmetic)
    float seconds = 0.0f;    // pack scr / 90000
    int32_t pack_index = 0;  // index of the pack in the stream
};

// The streams whose PTS are plotted.
inline constexpr uint8_t clocks_video_stream_id = 0xE0;
inline constexpr uint8_t clocks_audio_stream_id = 0xC0;

// An audio stream the plot can time, with one record per pack: MPEG audio
// (0xC0-0xDF) or AC-3 carried in private_stream_1 (0xBD).  The records
// follow the same rule as the first audio stream's.
struct clocks_audio_series {
    uint8_t stream_id = 0;
    bool ac3 = false;
    std::vector<clock_relationship> points;
};

// Tells whether a private_stream_1 packet carries AC-3 (its payload starts
// with a sub-stream id 0x80-0x87).
using clocks_ac3_test = bool (*)(const packet_struct& packet, void* context);

// The AC-3 test on the stream file the parser last read (its kept
// descriptor): the sub-stream id is the first payload byte of a packet with
// the optional PES header.  False when the file or the byte is not there.
bool stream_file_packet_is_ac3(const packet_struct& packet, void* context);

// One series per audio stream with at least one PTS: MPEG audio in stream
// order of their ids, then AC-3 (when `is_ac3` finds any 0xBD packet with a
// PTS to carry it; null tests no packet).
std::vector<clocks_audio_series> compute_audio_clock_series(const pack_list& packs,
                                                            clocks_ac3_test is_ac3, void* context);

// Boundary used when none (or no usable one) is configured.
inline constexpr int32_t clocks_default_boundary = 70000;

// Packs shown at once, and packs scrolled per tick.
inline constexpr int clocks_packs_per_plot = 40;
inline constexpr int clocks_packs_per_tick = 5;

// Fills `video` and `audio` with one record per pack of `packs`, in order.
// The latest PTS of each stream starts at 0 and is carried from pack to
// pack; a packet's PTS counts only when present and greater than 0.
void compute_clock_relationships(const pack_list& packs,
                                 std::vector<clock_relationship>& video,
                                 std::vector<clock_relationship>& audio);

// The boundary the plot uses for a configured value: a value of 0 or less
// would make the scale infinite or turn the plot upside down, so it gives
// the default instead.
int32_t usable_clock_boundary(int32_t configured);

// Rows and columns of a plot of `width` x `height` pixels for the boundary B.
struct clocks_geometry {
    float scale = 0.0f;  // pixels per clock: (height - 120) / (2 B)
    int mid = 0;         // row of the SCR line: height / 2
    int step = 0;        // columns per pack: width / 40
    int plus_b_y = 0;    // row of the +B line
    int minus_b_y = 0;   // row of the -B line
    int y_30000 = 0;     // row of the 30000 clocks line
};

clocks_geometry make_clocks_geometry(int width, int height, int32_t boundary);

// Row of a difference: trunc(scale * d + mid) as a 16-bit coordinate.  Rows
// beyond the 16-bit range are held at its ends (they lie far off the plot
// either way) instead of wrapping around into it.
int16_t clocks_row(const clocks_geometry& g, int32_t difference);

// The packs one tick shows.
struct clocks_frame {
    int first = 0;         // index of the first pack shown
    int count = 0;         // packs shown, at most 40
    bool at_end = false;   // the packs ran out before 40 were shown: last tick
};

// One tick's scrolling: the 40 packs before `n_clocks_pack` (the first 40
// while it is below 40), out of `n_packs`; then moves `n_clocks_pack` on by
// 5 for the next tick.
clocks_frame advance_clocks_frame(int32_t& n_clocks_pack, int n_packs);

// Packs of a frame that carry a seconds label: the 5th, 10th, ... shown.
inline bool clocks_pack_is_labelled(int n) { return (n + 1) % 5 == 0; }
