// The size of a stream's P-STD or STD buffer, from the first of these that
// the stream has: its own P-STD_buffer_size (MPEG-2) or STD_buffer_size
// (MPEG-1) field, the system header's bound for its stream_id, the system
// header's bound for all video (0xB9) or all audio (0xB8) streams, or a
// fixed default.
#pragma once

#include <cstdint>

#include "model.h"

inline constexpr int32_t default_video_buffer_size = 229376;  // 0x38000
inline constexpr int32_t default_other_buffer_size = 4096;

// Where the buffer size in force came from, in the order above from last
// to first.
enum : int32_t {
    size_from_default = 0,
    size_from_wildcard = 1,
    size_from_system_header = 2,
    size_from_stream = 3,
};
// "stream", "system header", "system header wildcard", "default".
const char* buffer_size_source_name(int32_t source);

// The size of a stream's buffer before anything is known of it.
int32_t default_buffer_size(uint32_t stream_id);

// Records the bounds a system header gives, by stream_id (0xB8 and 0xB9
// included), into `bounds` (-1: none).  Within one header the first entry
// for an id counts.
void header_bounds(const system_header_struct& header, int32_t bounds[256]);

// The size and its source for a stream whose own field has not been met,
// from `bounds`: its own bound, else its kind's; unchanged when there is
// neither or the stream's own field has been met.
void apply_header_bound(uint32_t stream_id, int32_t& size, int32_t& source, const int32_t bounds[256]);
// A packet's own buffer field sets the size from that packet on.
inline void apply_packet_bound(const packet_struct& packet, int32_t& size, int32_t& source) {
    if (packet.std_buffer_size_bytes < 0) return;
    size = packet.std_buffer_size_bytes;
    source = size_from_stream;
}
