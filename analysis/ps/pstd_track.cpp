#include "ps/pstd_track.h"

#include <algorithm>
#include <optional>

#include "es/es_kind.h"
#include "ps/buffer_size_policy.h"

namespace {

int64_t packet_stamp(const packet_struct& packet) {
    if (packet.pts_dts_flag == 3) return static_cast<int64_t>(packet.dts);
    if (packet.pts_dts_flag == 2) return static_cast<int64_t>(packet.pts);
    return -1;
}

}  // namespace

void init_buffer_track(buffer_occupancy_struct& r, uint8_t stream_id, int32_t sub_stream_id) {
    init_au_splitter(r, au_format_of(es_kind_of_stream_id(stream_id, sub_stream_id)));
    init_decoder_buffer(r, stream_id, sub_stream_id, default_buffer_size(stream_id));
    r.size_source = size_from_default;
    r.size_pending = false;
    r.deferred_packets = 0;
}

void apply_header_bound(buffer_occupancy_struct& r, const int32_t bounds[256]) {
    apply_header_bound(r.stream_id, r.buffer_size, r.size_source, bounds);
}

void apply_packet_bound(buffer_occupancy_struct& r, const packet_struct& packet) {
    apply_packet_bound(packet, r.buffer_size, r.size_source);
}

void prepare_packet(buffer_occupancy_struct& r, const packet_struct& packet, const pack_clock_struct& clock,
                    const unsigned char* payload, int64_t len, au_split_struct& off) {
    apply_packet_bound(r, packet);
    std::optional<es_stamp_struct> stamp;
    const int64_t raw = packet_stamp(packet);
    if (raw >= 0 && static_cast<uint64_t>(raw) != absent_ts)
        stamp = es_stamp_struct{stamp_to_ticks(clock, static_cast<uint64_t>(raw)),
                                static_cast<uint64_t>(raw) & ((uint64_t{1} << 33) - 1)};
    // AC-3 in a DVD sub-stream: the sub-stream header bytes go with the
    // unit in progress.
    const int64_t skip = r.format == format_ac3 ? std::min<int64_t>(dvd_audio_header_bytes, len) : 0;
    split_access_units(r, payload + skip, len - skip, stamp, off);
    if (off.n_entries > 0) off.n_bytes[0] += static_cast<int32_t>(skip);
    // Late units of the buffer are told by the last stamp met.
    r.stamp_ref = r.last_stamp;
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
