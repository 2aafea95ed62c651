// A leaky buffer: bytes enter at their arrival times and leave at a fixed
// rate while the buffer holds any, as the transport buffer TBn and the
// multiplex buffer MBn of a transport stream's decoder do (13818-1 2.4.2,
// outflow Rx while not empty).  Each stretch of time during which it holds
// more than its size is one overflow event; it also keeps its largest
// occupancy.
//
//   leaky_buffer_struct tb;
//   tb.stage = stage_tb; tb.size = 512; tb.rate = rx_bytes_per_second;
//   leaky_enter(tb, arrival, 188, packet_offset);   // arrival times in order
//   ...
//   finish_leaky_buffer(tb);
#pragma once

#include <cstdint>

#include "buffer/buffer_event.h"
#include "ticks.h"

struct leaky_buffer_struct {
    // Whose buffer: copied into its events.
    uint32_t stream_id = 0;
    int32_t sub_stream_id = -1;
    int32_t stage = stage_tb;
    int32_t size = 0;   // bytes
    int64_t rate = 0;   // bytes per second that leave while the buffer is not empty
    buffer_event_fn event_hook = nullptr;
    void* event_ctx = nullptr;

    // The fill in 1/27,000,000 byte, as of `time`, so that what leaves in
    // any whole number of ticks at any whole rate is exact.
    int64_t fill = 0;
    int64_t time = 0;
    int32_t largest_occupancy = 0;
    int64_t overflow_episodes = 0;
    bool overflowing = false;  // an episode is in progress, not yet reported
    buffer_event_struct over{};
};

// Lets the buffer drain until `now`; an overflow episode that ends by then
// is reported with the time the buffer held its size again.  A `now`
// before the buffer's time changes nothing.
void leaky_drain(leaky_buffer_struct& buffer, int64_t now);
// `bytes` that arrive together at `arrival`, from the packet at
// `packet_offset` (named by an overflow event they begin).
void leaky_enter(leaky_buffer_struct& buffer, int64_t arrival, int32_t bytes, int64_t packet_offset);
// `bytes` that arrive evenly from `first` to `last` (the first and last
// byte of a transport packet at the transport rate): the buffer fills
// linearly over the span while it leaks, so its largest occupancy is at one
// of the ends.  Afterwards the buffer's time is `last`.
void leaky_enter_span(leaky_buffer_struct& buffer, int64_t first, int64_t last, int32_t bytes, int64_t packet_offset);
// When the buffer will be empty if nothing more enters (its time when it is
// empty now): the time its last byte leaves.
int64_t leaky_empty_at(const leaky_buffer_struct& buffer);
// Bytes in the buffer as of its time; a byte partly gone counts whole.
int32_t leaky_occupancy(const leaky_buffer_struct& buffer);
// At the end of the stream: the episode in progress is reported, ending
// when the outflow brings the buffer back to its size.
void finish_leaky_buffer(leaky_buffer_struct& buffer);
