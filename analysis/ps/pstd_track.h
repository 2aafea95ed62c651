// One elementary stream of the P-STD (13818-1 2.5.2) or the STD (11172-1):
// the splitter of its payload into access units, its buffer Bn, and where
// the buffer's size came from.  The record is both an au_splitter_struct
// and a decoder_buffer_struct, so their fields are the record's own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "buffer/decoder_buffer.h"
#include "es/au_splitter.h"
#include "es/es_kind.h"
#include "model.h"
#include "ps/buffer_size_policy.h"
#include "ps/packet_reader.h"
#include "ps/pstd_clock.h"

struct buffer_occupancy_struct : au_splitter_struct, decoder_buffer_struct {
    int32_t size_source;  // size_from_default, ...
    // Replay while parsing: the stream's own buffer field has not been met
    // yet, so its packets wait (deferred_packets of them) until it is, or
    // until the decoding time of the stream's first access unit (or too
    // many wait), to be entered against the size in force.
    bool size_pending;
    int32_t deferred_packets;
    // The earliest decoding time of the stream's access units met so far
    // (INT64_MAX before the first).
    int64_t first_decoding_time;
};

// A record at the start of stream `stream_id` (of private_stream_1
// sub-stream `sub_stream_id`): its kind's splitter, an empty buffer of the
// default size, no event hook.
void init_buffer_track(buffer_occupancy_struct& record, uint8_t stream_id, int32_t sub_stream_id = -1);

// The record's size from a system header's bounds, unless the stream's own
// field has been met (ps/buffer_size_policy.h).
void apply_header_bound(buffer_occupancy_struct& record, const int32_t bounds[256]);
// The packet's own buffer field, when it has one, sets the size.
inline void apply_packet_bound(buffer_occupancy_struct& record, const packet_struct& packet) {
    apply_packet_bound(packet, record.buffer_size, record.size_source);
}

// What a packet changes in its record before its bytes are entered: the
// buffer size its own field sets, and the split of its payload (in memory)
// into access units, its time stamp read against its pack's clock.
inline void prepare_packet(buffer_occupancy_struct& r, const packet_struct& packet, const pack_clock_struct& clock,
                           const unsigned char* payload, int64_t len, au_split_struct& split) {
    apply_packet_bound(r, packet);
    // The decoding time stamp, else the presentation time stamp.
    const int64_t raw = packet.pts_dts_flag == 3   ? static_cast<int64_t>(packet.dts)
                        : packet.pts_dts_flag == 2 ? static_cast<int64_t>(packet.pts)
                                                   : -1;
    std::optional<es_stamp_struct> stamp;
    if (raw >= 0 && static_cast<uint64_t>(raw) != absent_ts)
        stamp = es_stamp_struct{stamp_to_ticks(clock, static_cast<uint64_t>(raw)),
                                static_cast<uint64_t>(raw) & ((uint64_t{1} << 33) - 1)};
    // AC-3 in a DVD sub-stream: the sub-stream header bytes go with the
    // unit in progress.
    const int64_t skip = r.format == format_ac3 ? std::min<int64_t>(dvd_audio_header_bytes, len) : 0;
    split_access_units(r, payload + skip, len - skip, stamp, split);
    if (skip != 0 && split.n_entries > 0) split.n_bytes[0] += static_cast<int32_t>(skip);
    // Late units of the buffer are told by the last stamp met.
    r.stamp_ref = r.last_stamp;
}
// Enters one packet's payload, already split, into the record's buffer.
void enter_packet(buffer_occupancy_struct& record, const packet_arrival_struct& arrival, const au_split_struct& split);

// Splits one packet of the record's stream, read again from the file, and
// updates the record's splitter and buffer size; bytes of a unit the packet
// retimes that are already in the buffer take its new time.  A packet that
// cannot be read again in full gives no entries and changes nothing.
void get_offsets(packet_reader_struct& reader, buffer_occupancy_struct& record, const packet_struct& packet,
                 const pack_clock_struct& clock, au_split_struct& split);
