// The window's replay: the tracked streams found in the collected packs, and
// one pack per step with the samples of the graphs.
#include "ps/pstd_replay.h"

#include <algorithm>

#include "buffer/verdict.h"
#include "es/es_kind.h"
#include "parser.h"
#include "ps/streaming_replay.h"

buffer_occupancy_struct* find_track(buffer_replay_struct& rp, uint32_t stream_id, int32_t sub) {
    for (int i = 0; i < rp.n_buffer_track_streams; ++i)
        if (rp.buffer_occupied[i].stream_id == stream_id && rp.buffer_occupied[i].sub_stream_id == sub)
            return &rp.buffer_occupied[i];
    return nullptr;
}

buffer_occupancy_struct* open_track(buffer_replay_struct& rp, uint32_t stream_id, int32_t sub) {
    if (rp.n_buffer_track_streams >= std::min(rp.track_limit, max_tracked_streams)) return nullptr;
    buffer_occupancy_struct& r = rp.buffer_occupied[rp.n_buffer_track_streams++];
    init_buffer_track(r, static_cast<uint8_t>(stream_id), sub);
    r.event_hook = rp.event_hook;
    r.event_ctx = rp.event_ctx;
    return &r;
}

void setup_buffer_tracks(buffer_replay_struct& rp) {
    rp.n_buffer_track_streams = 0;
    packet_reader_struct reader;
    reader.fd = parsed_stream_fd();
    reader.data = std::make_unique<unsigned char[]>(packet_reader_block);
    // The last system header that names a stream (or its kind) sets its
    // bound.
    int32_t bounds[256];
    std::fill(bounds, bounds + 256, -1);
    for (const auto& pack : _all_packs_array)
        for (const system_header_struct& h : pack->system_headers) header_bounds(h, bounds);

    auto sub_of = [&](const packet_struct& packet) {
        if (packet.stream_id != 0xBD || _mpeg_systems_format != 1) return -1;
        int64_t len = 0;
        const unsigned char* pl = packet_payload(reader, packet, len);
        return pl ? sub_stream_of(0xBD, pl, len, _mpeg_systems_format) : -1;
    };
    for (const auto& pack : _all_packs_array) {
        for (const packet_struct& packet : pack->packets) {
            if (packet.pts_dts_flag != 2 && packet.pts_dts_flag != 3) continue;
            if (!is_elementary_stream_id(packet.stream_id)) continue;
            const int32_t sub = sub_of(packet);
            if (find_track(rp, packet.stream_id, sub)) continue;
            buffer_occupancy_struct* r = open_track(rp, packet.stream_id, sub);
            if (!r) return;
            apply_header_bound(*r, bounds);
        }
    }
    // Before a stream's first buffer field, that field's value is in force.
    int pending = rp.n_buffer_track_streams;
    bool found[max_tracked_streams] = {};
    for (const auto& pack : _all_packs_array) {
        for (const packet_struct& packet : pack->packets) {
            if (pending == 0) return;
            if (packet.std_buffer_size_bytes < 0 || !is_elementary_stream_id(packet.stream_id)) continue;
            buffer_occupancy_struct* r = find_track(rp, packet.stream_id, sub_of(packet));
            if (!r || found[r - rp.buffer_occupied]) continue;
            found[r - rp.buffer_occupied] = true;
            --pending;
            apply_packet_bound(*r, packet);
        }
    }
}

void take_buffer_sample(buffer_replay_struct& rp, int64_t t) {
    if (--rp.countdown == 0) {
        if (rp.analysis_state == analysis_running) rp.analysis_state = analysis_waiting_redraw;
        rp.countdown = samples_per_redraw;
    }
    rp.next_sample = t + sample_interval_ticks;
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) sample_occupancy(rp.buffer_occupied[i]);
}

bool open_buffer_replay(buffer_replay_struct& rp) {
    close_buffer_replay(rp);
    rp.pack_index = 0;
    rp.next_sample = sample_interval_ticks;
    rp.countdown = samples_per_redraw;
    rp.clock.started = false;
    if (_n_all_packs() <= 0) return false;
    rp.reader.fd = parsed_stream_fd();
    if (rp.reader.fd < 0) return false;
    rp.reader.block_offset = rp.reader.block_length = 0;
    if (!rp.reader.data) rp.reader.data = std::make_unique<unsigned char[]>(packet_reader_block);
    return true;
}

bool buffer_replay_finished(const buffer_replay_struct& rp) {
    return rp.reader.fd < 0 || rp.pack_index >= _n_all_packs();
}

bool buffer_replay_step(buffer_replay_struct& rp) {
    if (buffer_replay_finished(rp)) return false;
    const pack_struct& pack = *_all_packs_array[static_cast<size_t>(rp.pack_index++)];

    const pack_clock_struct clock = next_pack_clock(rp, pack);
    if (clock.arrival >= rp.next_sample) take_buffer_sample(rp, clock.arrival);

    for (const packet_struct& packet : pack.packets) {
        if (!is_elementary_stream_id(packet.stream_id)) continue;
        int64_t len = 0;
        const unsigned char* payload = packet_payload(rp.reader, packet, len);
        if (!payload) continue;  // cannot be read again: contributes nothing
        buffer_occupancy_struct* r =
            find_track(rp, packet.stream_id, sub_stream_of(packet.stream_id, payload, len, _mpeg_systems_format));
        if (!r) continue;
        prepare_packet(*r, packet, clock, payload, len, rp.offsets);
        enter_packet(*r, packet_arrival(pack, clock, packet, _mpeg_systems_format), rp.offsets);
    }
    if (rp.pack_index >= _n_all_packs()) finish_buffer_events(rp);
    return true;
}

void close_buffer_replay(buffer_replay_struct& rp) {
    rp.reader.fd = -1;
    rp.reader.block_offset = rp.reader.block_length = 0;
}

void finish_buffer_events(buffer_replay_struct& rp) {
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) enter_deferred(rp, i);
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) finish_decoder_buffer(rp.buffer_occupied[i]);
}

std::string buffer_replay_verdict(const buffer_replay_struct& rp) {
    buffer_verdict verdict;
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) {
        const buffer_occupancy_struct& r = rp.buffer_occupied[i];
        if (r.format == format_not_modelled)
            verdict.add_not_modelled(stream_label(r.stream_id, r.sub_stream_id),
                                     stream_kind_name(r.stream_id, r.sub_stream_id));
        else
            verdict.add_modelled(r.underflow_units, r.overflow_episodes);
    }
    return verdict.text();
}
