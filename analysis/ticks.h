// Times of the buffer models: signed 64-bit counts of 27 MHz ticks on the
// replay's own clock, whose origin is the arrival of the stream's first pack
// (or, later, its first transport packet).
#pragma once

#include <cstdint>

inline constexpr int64_t ticks_per_second = 27000000;

// Decoding time of bytes that arrive before their stream's first time
// stamp: distinct from every real decoding time, never late, and gone from
// a decoder buffer at its next removal scan.
inline constexpr int64_t no_decode_time = INT64_MIN;

inline double ticks_to_seconds(int64_t ticks) { return static_cast<double>(ticks) / ticks_per_second; }

// A time stamp: its time on the replay's clock and its own 33-bit 90 kHz
// value.
struct es_stamp_struct {
    int64_t ticks;
    uint64_t value;
};

// A time on the clock as the stream's own 33-bit 90 kHz value, counted
// from the stamp `ref`.
inline uint64_t stamp_value_at(const es_stamp_struct& ref, int64_t ticks) {
    const int64_t d = ticks - ref.ticks;
    const int64_t d90 = d >= 0 ? d / 300 : -((-d + 299) / 300);
    return (ref.value + static_cast<uint64_t>(d90)) & ((uint64_t{1} << 33) - 1);
}
