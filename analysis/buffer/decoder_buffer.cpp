#include "buffer/decoder_buffer.h"

#include <algorithm>
#include <bit>

namespace {

constexpr int slot_words = (pending_slot_count + 63) / 64;

float ticks_to_seconds_float(int64_t ticks) { return static_cast<float>(ticks_to_seconds(ticks)); }

// ---------------------------------------------------------------------------
// Events.

void emit(decoder_buffer_struct& r, const buffer_event_struct& e) {
    if (r.event_hook) r.event_hook(e, r.event_ctx);
}

buffer_event_struct new_event(const decoder_buffer_struct& r, buffer_event_struct::kind_t kind) {
    buffer_event_struct e{};
    e.kind = kind;
    e.stream_id = r.stream_id;
    e.sub_stream_id = r.sub_stream_id;
    e.stage = r.stage;
    e.packet_offset = r.packet_offset;
    e.buffer_size = r.buffer_size;
    return e;
}

void flush_late_unit(decoder_buffer_struct& r) {
    if (!r.late_open) return;
    r.late_open = false;
    ++r.underflow_units;
    emit(r, r.late);
}

[[gnu::noinline, gnu::cold]] void note_late_byte(decoder_buffer_struct& r, int64_t d, int64_t a) {
    if (r.late_open && r.late.decoding_time != d) flush_late_unit(r);
    if (!r.late_open) {
        r.late_open = true;
        r.late = new_event(r, buffer_event_struct::underflow);
        r.late.time = a;
        r.late.decoding_time = d;
        r.late.decoding_stamp = stamp_value_at(r.stamp_ref, d);
    }
    ++r.late.late_bytes;
    r.late.lateness = a - d;
}

void begin_overflow(decoder_buffer_struct& r, int64_t a) {
    ++r.overflow_episodes;
    r.overflowing = true;
    r.over = new_event(r, buffer_event_struct::overflow);
    r.over.time = a;
}

void end_overflow(decoder_buffer_struct& r, int64_t now) {
    r.overflowing = false;
    r.over.end_time = now;
    emit(r, r.over);
}

// ---------------------------------------------------------------------------
// Pending access units.

bool slot_in_use(const decoder_buffer_struct& r, int slot) {
    return (r.slots_in_use[slot >> 6] >> (slot & 63)) & 1;
}

// Lowest-numbered free slot, or -1 when all are in use.
int first_free_slot(const decoder_buffer_struct& r) {
    for (int w = 0; w < slot_words; ++w) {
        uint64_t free_bits = ~r.slots_in_use[w];
        if (w == slot_words - 1 && pending_slot_count % 64) free_bits &= (uint64_t{1} << (pending_slot_count % 64)) - 1;
        if (free_bits) return w * 64 + std::countr_zero(free_bits);
    }
    return -1;
}

// While the buffer is above its size: the decoding time at which removing
// the units decoded by `now` (or all units, at the end of the stream), in
// time order, brings it back within its size; INT64_MAX when it does not.
int64_t overflow_end(const decoder_buffer_struct& r, int64_t now) {
    struct unit {
        int64_t time;
        int32_t bytes;
    };
    unit units[pending_slot_count];
    int n = 0;
    for (int w = 0; w < slot_words; ++w) {
        for (uint64_t bits = r.slots_in_use[w]; bits; bits &= bits - 1) {
            const pending_au_struct& p = r.pending[w * 64 + std::countr_zero(bits)];
            if (p.time <= now) units[n++] = {p.time, p.bytes};
        }
    }
    std::sort(units, units + n, [](const unit& a, const unit& b) { return a.time < b.time; });
    int64_t occupancy = r.occupancy;
    for (int i = 0; i < n; ++i) {
        occupancy -= units[i].bytes;
        if (occupancy <= r.buffer_size) return std::max(units[i].time, r.over.time);
    }
    return INT64_MAX;
}

// Frees every access unit decoded by `now` and finds the next decoding time.
void remove_decoded_units(decoder_buffer_struct& r, int64_t now) {
    const int64_t back_within = r.overflowing ? overflow_end(r, now) : INT64_MAX;
    int64_t next = no_removal_due;
    for (int w = 0; w < slot_words; ++w) {
        uint64_t bits = r.slots_in_use[w];
        while (bits) {
            int slot = w * 64 + std::countr_zero(bits);
            bits &= bits - 1;
            pending_au_struct& p = r.pending[slot];
            if (p.time <= now) {
                r.occupancy -= p.bytes;
                r.slots_in_use[w] &= ~(uint64_t{1} << (slot & 63));
            } else if (p.time < next) {
                next = p.time;
            }
        }
    }
    r.next_removal = next;
    if (r.overflowing && r.occupancy <= r.buffer_size) end_overflow(r, std::min(back_within, now));
}

[[gnu::noinline]] void open_pending_slot(decoder_buffer_struct& r, int64_t d) {
    int slot = first_free_slot(r);
    if (slot < 0) return;  // all in use: the byte joins the slot last opened
    r.pending[slot] = {d, 0};
    r.slots_in_use[slot >> 6] |= uint64_t{1} << (slot & 63);
    r.current_slot = slot;
    r.last_time = d;
}

// The per-byte path: constant time unless a removal is due.
[[gnu::always_inline]] inline bool enter_byte(int64_t d, int64_t a, decoder_buffer_struct& r) {
    if (d < a && d != no_decode_time) [[unlikely]]
        note_late_byte(r, d, a);
    if (d != r.last_time || !slot_in_use(r, r.current_slot)) [[unlikely]]
        open_pending_slot(r, d);
    ++r.pending[r.current_slot].bytes;
    ++r.occupancy;
    if (r.next_removal <= a) [[unlikely]]
        remove_decoded_units(r, a);
    if (d < r.next_removal) r.next_removal = d;
    if (r.occupancy > r.interval_max.occupancy) r.interval_max = {r.occupancy, a};
    if (r.occupancy < r.interval_min.occupancy) r.interval_min = {r.occupancy, a};
    if (r.occupancy > r.largest_occupancy) r.largest_occupancy = r.occupancy;
    const bool over = r.occupancy > r.buffer_size;
    if (over) [[unlikely]] {
        if (!r.overflowing) begin_overflow(r, a);
        r.over.excess = std::max(r.over.excess, r.occupancy - r.buffer_size);
    }
    return over;
}

// Enters `count` bytes of the access unit decoded at `d`, byte `n` (counted
// on from its value on entry) arriving at t + trunc(ticks_per_byte * n),
// exactly as `count` calls of add_byte_to_buffer would.  After one full
// call, the bytes that arrive before the next removal is due (and so before
// their decoding time) only add to the open slot; arrival times never
// decrease with n, so how many they are, where the first of them overflows
// and when the last arrives are found without visiting each.
void enter_unit_bytes(decoder_buffer_struct& r, int64_t d, int64_t t, float ticks_per_byte, int64_t& n,
                      int32_t count) {
    auto arrival = [&](int64_t byte) { return t + static_cast<int64_t>(ticks_per_byte * static_cast<float>(byte)); };
    while (count > 0) {
        enter_byte(d, arrival(n), r);
        ++n;
        --count;

        // The bytes n .. n+run-1 arrive before `limit`.
        const int64_t limit = r.next_removal;  // not later than d now
        int32_t lo = 0, hi = count;
        while (lo < hi) {
            int32_t mid = lo + (hi - lo) / 2;
            if (arrival(n + mid) >= limit)
                hi = mid;
            else
                lo = mid + 1;
        }
        const int32_t run = lo;
        if (run == 0) continue;
        const int32_t before = r.occupancy;
        if (int64_t{before} + run > r.buffer_size) {
            // Byte j of the run holds before + j + 1 bytes.
            if (!r.overflowing) begin_overflow(r, arrival(n + std::max<int64_t>(0, int64_t{r.buffer_size} - before)));
            r.over.excess = std::max(r.over.excess, before + run - r.buffer_size);
        }
        r.pending[r.current_slot].bytes += run;
        r.occupancy = before + run;
        // The occupancy only rose, so the last byte holds any new maximum.
        if (r.occupancy > r.interval_max.occupancy) r.interval_max = {r.occupancy, arrival(n + run - 1)};
        if (r.occupancy > r.largest_occupancy) r.largest_occupancy = r.occupancy;
        n += run;
        count -= run;
    }
}

}  // namespace

void init_decoder_buffer(decoder_buffer_struct& r, uint32_t stream_id, int32_t sub_stream_id, int32_t buffer_size,
                         int32_t stage) {
    // Everything not set here starts at 0: an empty buffer, ring and
    // pending table, and no event in progress.
    r = decoder_buffer_struct{};
    r.stream_id = stream_id;
    r.sub_stream_id = sub_stream_id;
    r.stage = stage;
    r.buffer_size = buffer_size;
    r.interval_max = {interval_max_none, 0};
    r.interval_min = {interval_min_none, 0};
    r.next_removal = 0x00000000FFFFFFFFll;
    r.last_time = 1;
}

bool add_byte_to_buffer(int64_t d, int64_t a, decoder_buffer_struct& r) { return enter_byte(d, a, r); }

void retime_open_unit(decoder_buffer_struct& r, int64_t from, int64_t to) {
    if (from == to) return;
    const int slot = r.current_slot;
    if (!slot_in_use(r, slot) || r.pending[slot].time != from) return;
    r.pending[slot].time = to;
    r.last_time = to;
    if (to < r.next_removal) r.next_removal = to;
}

void enter_split(decoder_buffer_struct& r, const au_split_struct& off, int64_t t, float ticks_per_byte,
                 int64_t first_byte) {
    if (off.retime) retime_open_unit(r, off.retime_from, off.retime_to);
    int64_t n = first_byte;
    for (int32_t e = 0; e < off.n_entries; ++e)
        enter_unit_bytes(r, off.au_dts[static_cast<size_t>(e)], t, ticks_per_byte, n,
                         off.n_bytes[static_cast<size_t>(e)]);
}

void finish_decoder_buffer(decoder_buffer_struct& r) {
    flush_late_unit(r);
    if (r.overflowing) end_overflow(r, std::min(overflow_end(r, INT64_MAX), INT64_MAX - 1));
}

void sample_occupancy(decoder_buffer_struct& r) {
    if (r.interval_max.occupancy == interval_max_none || r.interval_min.occupancy == interval_min_none) return;
    const buffer_sample_struct max{r.interval_max.occupancy, ticks_to_seconds_float(r.interval_max.arrival)};
    const buffer_sample_struct min{r.interval_min.occupancy, ticks_to_seconds_float(r.interval_min.arrival)};
    if (max.seconds < min.seconds) {
        append_ring_point(r, max);
        append_ring_point(r, min);
    } else {
        append_ring_point(r, min);
        append_ring_point(r, max);
    }
    r.interval_max = {interval_max_none, 0};
    r.interval_min = {interval_min_none, 0};
}

void append_ring_point(decoder_buffer_struct& r, buffer_sample_struct point) {
    r.ring[r.ring_head] = point;
    r.ring_head = (r.ring_head + 1) % ring_size;
    if (r.ring_head == r.ring_tail) r.ring_tail = (r.ring_tail + 1) % ring_size;
}

int ring_point_count(const decoder_buffer_struct& r) { return (r.ring_head - r.ring_tail + ring_size) % ring_size; }

const buffer_sample_struct& ring_point(const decoder_buffer_struct& r, int n) {
    return r.ring[(r.ring_tail + n) % ring_size];
}
