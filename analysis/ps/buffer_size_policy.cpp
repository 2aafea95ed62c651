#include "ps/buffer_size_policy.h"

#include "es/es_kind.h"

const char* buffer_size_source_name(int32_t source) {
    switch (source) {
    case size_from_stream: return "stream";
    case size_from_system_header: return "system header";
    case size_from_wildcard: return "system header wildcard";
    default: return "default";
    }
}

int32_t default_buffer_size(uint32_t stream_id) {
    return is_video_stream_id(stream_id) ? default_video_buffer_size : default_other_buffer_size;
}

void header_bounds(const system_header_struct& h, int32_t bounds[256]) {
    bool seen[256] = {};
    for (const buffer_info_struct& info : h.buffer_info) {
        const int id = info.stream_id & 0xFF;
        if (info.stream_id < 0 || seen[id]) continue;
        seen[id] = true;
        bounds[id] = info.actual_std_size;
    }
}

void apply_header_bound(uint32_t stream_id, int32_t& size, int32_t& source, const int32_t bounds[256]) {
    if (source == size_from_stream) return;
    if (bounds[stream_id & 0xFF] >= 0) {
        size = bounds[stream_id & 0xFF];
        source = size_from_system_header;
        return;
    }
    const int wildcard = is_video_stream_id(stream_id) ? 0xB9 : is_mpeg_audio_stream_id(stream_id) ? 0xB8 : -1;
    if (wildcard >= 0 && bounds[wildcard] >= 0) {
        size = bounds[wildcard];
        source = size_from_wildcard;
    }
}
