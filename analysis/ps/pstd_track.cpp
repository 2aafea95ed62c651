#include "ps/pstd_track.h"

void init_buffer_track(buffer_occupancy_struct& r, uint8_t stream_id, int32_t sub_stream_id) {
    init_au_splitter(r, au_format_of(es_kind_of_stream_id(stream_id, sub_stream_id)));
    init_decoder_buffer(r, stream_id, sub_stream_id, default_buffer_size(stream_id));
    r.size_source = size_from_default;
    r.size_pending = false;
    r.deferred_packets = 0;
    r.first_decoding_time = INT64_MAX;
}

void apply_header_bound(buffer_occupancy_struct& r, const int32_t bounds[256]) {
    apply_header_bound(r.stream_id, r.buffer_size, r.size_source, bounds);
}

void enter_packet(buffer_occupancy_struct& r, const packet_arrival_struct& a, const au_split_struct& off) {
    r.packet_offset = a.packet_offset;
    enter_split(r, off, a.arrival, a.ticks_per_byte, a.first_byte);
}

void get_offsets(packet_reader_struct& reader, buffer_occupancy_struct& r, const packet_struct& packet,
                 const pack_clock_struct& clock, au_split_struct& off) {
    off.n_entries = 0;
    off.retime = false;
    int64_t len = 0;
    const unsigned char* payload = packet_payload(reader, packet, len);
    if (!payload) return;
    prepare_packet(r, packet, clock, payload, len, off);
    if (off.retime) retime_open_unit(r, off.retime_from, off.retime_to);
}
