#include "stream_format.h"

#include <algorithm>

namespace {

constexpr uint8_t sync_byte = 0x47;
constexpr size_t wanted_sync_bytes = 5;
constexpr size_t least_sync_bytes = 2;

// Offset of the first packet of a transport stream with this period, whose
// sync byte lies `sync_at` bytes into the packet; n when there is none.
size_t first_transport_packet(const uint8_t* head, size_t n, size_t period, size_t sync_at) {
    const size_t needed = std::min(wanted_sync_bytes, n / period);
    if (needed < least_sync_bytes) return n;
    const size_t span = sync_at + (needed - 1) * period;  // last sync byte's place
    for (size_t start = 0; start + span < n; ++start) {
        bool all = true;
        for (size_t k = 0; k < needed && all; ++k) all = head[start + sync_at + k * period] == sync_byte;
        if (all) return start;
    }
    return n;
}

// Offset of the first pack start code whose next byte carries the fixed
// bits of a pack header: '01' then a marker bit at bit 2 (MPEG-2), or
// '0010' then a marker bit at bit 0 (MPEG-1).
size_t first_pack(const uint8_t* head, size_t n) {
    for (size_t i = 0; i + 4 < n; ++i) {
        if (head[i] != 0x00 || head[i + 1] != 0x00 || head[i + 2] != 0x01 || head[i + 3] != 0xBA) continue;
        const uint8_t b = head[i + 4];
        if ((b & 0xC4) == 0x44 || (b & 0xF1) == 0x21) return i;
    }
    return n;
}

}  // namespace

const char* stream_format_name(stream_format format) {
    switch (format) {
        case stream_format::program_stream: return "program stream";
        case stream_format::transport_188: return "TS 188";
        case stream_format::transport_192: return "TS 192";
        case stream_format::unknown: break;
    }
    return "unknown";
}

size_t transport_packet_size(stream_format format) {
    switch (format) {
        case stream_format::transport_188: return 188;
        case stream_format::transport_192: return 192;
        default: return 0;
    }
}

stream_format detect_stream_format(const uint8_t* head, size_t n) {
    if (!head) return stream_format::unknown;
    const size_t ts188 = first_transport_packet(head, n, 188, 0);
    const size_t ts192 = first_transport_packet(head, n, 192, 4);
    const size_t ps = first_pack(head, n);
    const size_t first = std::min({ts188, ts192, ps});
    if (first == n) return stream_format::unknown;
    if (first == ts188) return stream_format::transport_188;
    if (first == ts192) return stream_format::transport_192;
    return stream_format::program_stream;
}
