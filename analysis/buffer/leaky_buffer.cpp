#include "buffer/leaky_buffer.h"

#include <algorithm>

namespace {

int64_t limit_of(const leaky_buffer_struct& b) { return int64_t{b.size} * ticks_per_second; }

// Ticks the outflow takes to remove `amount` (in 1/27,000,000 byte);
// INT64_MAX when nothing leaves.
// time + ticks, held below INT64_MAX (times may be negative).
int64_t later_by(int64_t time, int64_t ticks) {
    return ticks >= INT64_MAX - 1 || (time > 0 && ticks > INT64_MAX - 1 - time) ? INT64_MAX - 1 : time + ticks;
}

int64_t ticks_to_remove(const leaky_buffer_struct& b, int64_t amount) {
    if (amount <= 0) return 0;
    if (b.rate <= 0) return INT64_MAX;
    return amount / b.rate + (amount % b.rate != 0);
}

void end_episode(leaky_buffer_struct& b, int64_t end) {
    b.overflowing = false;
    b.over.end_time = end;
    if (b.event_hook) b.event_hook(b.over, b.event_ctx);
}

// When the episode in progress ends if nothing more enters.
int64_t episode_end(const leaky_buffer_struct& b) {
    return later_by(b.time, ticks_to_remove(b, b.fill - limit_of(b)));
}

}  // namespace

void leaky_drain(leaky_buffer_struct& b, int64_t now) {
    if (now <= b.time) return;
    if (b.overflowing) {
        const int64_t end = episode_end(b);
        if (end <= now) end_episode(b, end);
    }
    const int64_t dt = now - b.time;
    b.fill = dt >= ticks_to_remove(b, b.fill) ? 0 : b.fill - b.rate * dt;
    b.time = now;
}

namespace {

// After bytes entered: the largest occupancy, and an overflow episode that
// begins at `at` when the buffer now holds more than its size.
void note_fill(leaky_buffer_struct& b, int32_t occupancy, int64_t at, int64_t packet_offset) {
    b.largest_occupancy = std::max(b.largest_occupancy, occupancy);
    if (occupancy <= b.size) return;
    if (!b.overflowing) {
        ++b.overflow_episodes;
        b.overflowing = true;
        b.over = buffer_event_struct{};
        b.over.kind = buffer_event_struct::overflow;
        b.over.stream_id = b.stream_id;
        b.over.sub_stream_id = b.sub_stream_id;
        b.over.stage = b.stage;
        b.over.time = at;
        b.over.packet_offset = packet_offset;
        b.over.buffer_size = b.size;
    }
    b.over.excess = std::max(b.over.excess, occupancy - b.size);
}

}  // namespace

void leaky_enter(leaky_buffer_struct& b, int64_t arrival, int32_t bytes, int64_t packet_offset) {
    leaky_drain(b, arrival);
    b.fill += int64_t{bytes} * ticks_per_second;
    note_fill(b, leaky_occupancy(b), b.time, packet_offset);
}

void leaky_enter_span(leaky_buffer_struct& b, int64_t first, int64_t last, int32_t bytes, int64_t packet_offset) {
    leaky_drain(b, first);
    if (last <= b.time) {
        leaky_enter(b, b.time, bytes, packet_offset);
        return;
    }
    // Inflow bytes/(last-first) and outflow `rate` are both steady over the
    // span: the fill is a straight line (or runs down to empty and stays
    // there while less comes in than can leave), so it is largest at an end.
    const int64_t in = int64_t{bytes} * ticks_per_second;
    const int64_t dt = last - b.time;
    const int64_t out = b.rate > 0 && dt > INT64_MAX / b.rate ? INT64_MAX : b.rate * dt;
    const int64_t end = out >= b.fill + in ? 0 : b.fill + in - out;
    if (b.overflowing && end <= limit_of(b)) {
        // Back within its size during the span.
        b.fill = end;
        b.time = last;
        end_episode(b, last);
        return;
    }
    b.fill = end;
    b.time = last;
    // Each byte is in the buffer as it arrives, however fast it leaves.
    note_fill(b, std::max(leaky_occupancy(b), bytes > 0 ? 1 : 0), last, packet_offset);
}

int64_t leaky_empty_at(const leaky_buffer_struct& b) {
    return later_by(b.time, ticks_to_remove(b, b.fill));
}

int32_t leaky_occupancy(const leaky_buffer_struct& b) {
    return static_cast<int32_t>(b.fill / ticks_per_second + (b.fill % ticks_per_second != 0));
}

void finish_leaky_buffer(leaky_buffer_struct& b) {
    if (b.overflowing) end_episode(b, episode_end(b));
}
