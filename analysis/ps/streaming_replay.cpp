#include "ps/streaming_replay.h"

#include "es/es_kind.h"

namespace {

// The first sight of a pack: its clock, and the bounds of its system
// headers for the streams whose own field has not been met.
void streaming_pack_begins(buffer_replay_struct& rp, const pack_struct& pack) {
    if (pack.offset == rp.streaming_pack_offset) return;
    rp.streaming_pack_offset = pack.offset;
    next_pack_clock(rp, pack);
    if (pack.system_headers.empty()) return;
    for (const system_header_struct& h : pack.system_headers) header_bounds(h, rp.system_bounds);
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) apply_header_bound(rp.buffer_occupied[i], rp.system_bounds);
}

// Keeps a split packet until its track's own buffer field is met.
void defer_packet(buffer_replay_struct& rp, int32_t track, const packet_arrival_struct& arrival) {
    deferred_packet_struct d;
    d.track = track;
    d.arrival = arrival;
    // Only the entries that count are kept.
    const au_split_struct& off = rp.offsets;
    const auto n = static_cast<std::ptrdiff_t>(off.n_entries);
    d.offsets.n_entries = off.n_entries;
    d.offsets.retime = off.retime;
    d.offsets.retime_from = off.retime_from;
    d.offsets.retime_to = off.retime_to;
    d.offsets.au_dts.assign(off.au_dts.begin(), off.au_dts.begin() + n);
    d.offsets.n_bytes.assign(off.n_bytes.begin(), off.n_bytes.begin() + n);
    rp.deferred.push_back(std::move(d));
    rp.deferred_entries += static_cast<size_t>(n);
    ++rp.buffer_occupied[track].deferred_packets;
}

}  // namespace

void begin_streaming_replay(buffer_replay_struct& rp) {
    rp.n_buffer_track_streams = 0;
    rp.clock.started = false;
    rp.streaming_pack_offset = -1;
    rp.streaming_packet_offset = -1;
    rp.streaming_payload.clear();
    rp.streaming_payload.reserve(65536);
    rp.deferred.clear();
    rp.deferred_entries = 0;
    std::fill(rp.system_bounds, rp.system_bounds + 256, -1);
}

void enter_deferred(buffer_replay_struct& rp, int32_t track) {
    buffer_occupancy_struct& r = rp.buffer_occupied[track];
    r.size_pending = false;
    if (r.deferred_packets == 0) return;
    r.deferred_packets = 0;
    for (const deferred_packet_struct& d : rp.deferred)
        if (d.track == track) {
            enter_packet(r, d.arrival, d.offsets);
            rp.deferred_entries -= static_cast<size_t>(d.offsets.n_entries);
        }
    std::erase_if(rp.deferred, [track](const deferred_packet_struct& d) { return d.track == track; });
}

void streaming_replay_payload(buffer_replay_struct& rp, const pack_struct& pack, const packet_struct& packet,
                              const unsigned char* data, size_t n) {
    if (!is_elementary_stream_id(packet.stream_id)) return;
    streaming_pack_begins(rp, pack);
    // The packet's own format, that of its pack: a 13818-1 PES packet has
    // three bytes of header more than an 11172-1 packet, and only it has
    // private_stream_1 sub-streams.
    const int32_t format = pack.stuffing == -1 ? 0 : 1;
    const int64_t len = 6 + int64_t{packet.length} - payload_start(packet, format);
    const unsigned char* payload = data;
    if (packet.starting_offset != rp.streaming_packet_offset) {
        rp.streaming_packet_offset = packet.starting_offset;
        rp.streaming_payload.clear();
    }
    if (!rp.streaming_payload.empty() || static_cast<int64_t>(n) < len) {
        // The payload comes in more than one block: gather it.
        rp.streaming_payload.insert(rp.streaming_payload.end(), data, data + n);
        if (static_cast<int64_t>(rp.streaming_payload.size()) < len) return;
        payload = rp.streaming_payload.data();
    }
    // The payload is complete: enter it.
    rp.streaming_packet_offset = -1;
    const int32_t sub = sub_stream_of(packet.stream_id, payload, len, format);
    buffer_occupancy_struct* r = find_track(rp, packet.stream_id, sub);
    if (!r) {
        r = open_track(rp, packet.stream_id, sub);
        if (r) {
            apply_header_bound(*r, rp.system_bounds);
            r->size_pending = true;
        }
    }
    if (r) {
        const int32_t track = static_cast<int32_t>(r - rp.buffer_occupied);
        const pack_clock_struct& clock = rp.clock.last;
        prepare_packet(*r, packet, clock, payload, len, rp.offsets);
        const packet_arrival_struct arrival = packet_arrival(pack, clock, packet, format);
        for (int32_t e = 0; e < rp.offsets.n_entries; ++e) {
            const int64_t d = rp.offsets.au_dts[static_cast<size_t>(e)];
            if (d != no_decode_time && d < r->first_decoding_time) r->first_decoding_time = d;
        }
        // Until the stream's own buffer field is met, its first value is
        // not known: the packets wait for it, but no longer than until its
        // first access unit must be decoded (the buffer is judged from
        // then on), and only up to bounded numbers.
        if (r->size_pending && r->size_source != size_from_stream && arrival.arrival < r->first_decoding_time &&
            r->deferred_packets < max_deferred_packets &&
            rp.deferred.size() < max_deferred_total &&
            rp.deferred_entries + static_cast<size_t>(rp.offsets.n_entries) <= max_deferred_entries) {
            defer_packet(rp, track, arrival);
        } else {
            if (r->size_pending) enter_deferred(rp, track);
            enter_packet(*r, arrival, rp.offsets);
        }
    }
    rp.streaming_payload.clear();
}

void streaming_replay_pack(buffer_replay_struct& rp, const pack_struct& pack) { streaming_pack_begins(rp, pack); }

void streaming_replay_apply_bounds(buffer_replay_struct& rp) {
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) apply_header_bound(rp.buffer_occupied[i], rp.system_bounds);
}
