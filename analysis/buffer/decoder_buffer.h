// A decoder buffer: the bytes of access units enter one by one at their
// arrival times, and all bytes of a unit leave together at its decoding
// time.  A unit whose bytes arrive after its decoding time is late (one
// underflow event per unit); the stretches of time during which the buffer
// holds more than its size are overflow episodes (one event each).  This
// is Bn of the P-STD and the STD, and later a transport stream's EBn and
// Bn.
//
// The buffer keeps its units in a table of pending slots, one per decoding
// time, and follows its occupancy's extremes between two samples for the
// window's graph.
#pragma once

#include <cstdint>

#include "buffer/buffer_event.h"
#include "es/au_splitter.h"
#include "ticks.h"

inline constexpr int ring_size = 100;
inline constexpr int pending_slot_count = 300;
inline constexpr int64_t no_removal_due = INT64_MAX;
inline constexpr int32_t interval_max_none = -1;
inline constexpr int32_t interval_min_none = 0xFFFFFF;

struct buffer_sample_struct {
    int32_t occupancy;
    float seconds;
};

// Smallest or largest occupancy since the last sample and when it occurred
// (ticks; turned into seconds when the sample is taken).
struct buffer_extreme_struct {
    int32_t occupancy;
    int64_t arrival;
};

// An access unit in the buffer: its decoding time and the bytes of it that
// have arrived.  Whether a slot is in use is kept in slots_in_use.
struct pending_au_struct {
    int64_t time;  // decoding time, ticks
    int32_t bytes;
};

struct decoder_buffer_struct {
    // Whose buffer: copied into its events.
    uint32_t stream_id;
    int32_t sub_stream_id;  // DVD private_stream_1 sub-stream, or -1
    int32_t stage;          // stage_b, ...

    int32_t occupancy;    // bytes now in the buffer
    int32_t buffer_size;  // capacity in bytes
    int64_t next_removal;  // not later than the earliest decoding time in the buffer
    int64_t last_time;     // decoding time of the slot last opened
    int32_t current_slot;  // index of the slot last opened
    // Which pending slots are in use, one bit per slot, so that opening a
    // slot and the removal scan need not walk all 300.  A slot is in use
    // from its opening until the removal scan frees it.
    uint64_t slots_in_use[(pending_slot_count + 63) / 64];
    buffer_extreme_struct interval_max;  // largest occupancy since the last sample
    buffer_extreme_struct interval_min;  // smallest occupancy since the last sample
    int32_t largest_occupancy;
    bool overflowing;       // an overflow episode is in progress, not yet reported
    int64_t packet_offset;  // the packet whose bytes are being entered
    pending_au_struct pending[pending_slot_count];

    // Samples for the graph.
    int32_t ring_head;  // write position in ring
    int32_t ring_tail;  // oldest valid position in ring
    buffer_sample_struct ring[ring_size];

    int64_t underflow_units;    // access units with late bytes
    int64_t overflow_episodes;  // times the buffer went above its size
    // The late access unit whose bytes are arriving, not yet reported.
    bool late_open;
    buffer_event_struct late;
    // The overflow episode in progress.
    buffer_event_struct over;
    // Gives late units' decoding times as the stream's own 90 kHz values;
    // the buffer's owner keeps it at the stream's last time stamp.
    es_stamp_struct stamp_ref;
    // Where events go; null: nowhere.
    buffer_event_fn event_hook;
    void* event_ctx;
};

// An empty buffer of `buffer_size` bytes with nothing pending; the event
// hook is left to the caller.
void init_decoder_buffer(decoder_buffer_struct& buffer, uint32_t stream_id, int32_t sub_stream_id,
                         int32_t buffer_size, int32_t stage = stage_b);

// Enters one byte decoded at `decoding_time` that arrives at `arrival_time`;
// true when afterwards the buffer holds more than its size.  A byte that
// arrives after its decoding time counts toward its access unit's underflow
// event.
bool add_byte_to_buffer(int64_t decoding_time, int64_t arrival_time, decoder_buffer_struct& buffer);

// The unit last opened, when it is decoded at `from`, is decoded at `to`
// instead (its time stamp came after its first bytes).
void retime_open_unit(decoder_buffer_struct& buffer, int64_t from, int64_t to);

// Enters one packet's payload as a splitter split it (es/au_splitter.h):
// the unit in progress retimed when the split says so, then the bytes of
// each entry, payload byte k arriving at
// t + trunc(ticks_per_byte * (first_byte + k)).  The buffer ends as one
// add_byte_to_buffer call per byte would leave it, but the bytes that need
// no slot and no removal are not visited one by one.
void enter_split(decoder_buffer_struct& buffer, const au_split_struct& split, int64_t t, float ticks_per_byte,
                 int64_t first_byte);

// Reports what is still open at the end of the stream: the late access unit
// being counted, and the overflow episode in progress, which lasts until
// the units in the buffer leave it.
void finish_decoder_buffer(decoder_buffer_struct& buffer);

// Puts the smallest and largest occupancy since the last sample into the
// ring, the earlier first, and starts the next interval; nothing when
// nothing entered since.
void sample_occupancy(decoder_buffer_struct& buffer);
// Adds one point to the ring; the ring keeps the latest 99.
void append_ring_point(decoder_buffer_struct& buffer, buffer_sample_struct point);
// Number of points in the ring, and point n of them (0 is the oldest).
int ring_point_count(const decoder_buffer_struct& buffer);
const buffer_sample_struct& ring_point(const decoder_buffer_struct& buffer, int n);
