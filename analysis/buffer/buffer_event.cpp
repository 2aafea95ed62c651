#include "buffer/buffer_event.h"

#include <cinttypes>
#include <cstdio>

#include "es/es_kind.h"
#include "ticks.h"

const char* buffer_stage_name(int32_t stage) {
    switch (stage) {
    case stage_eb: return "EB";
    case stage_tb: return "TB";
    case stage_mb: return "MB";
    case stage_tbsys: return "TBsys";
    case stage_bsys: return "Bsys";
    default: return "B";
    }
}

std::string format_buffer_event(const buffer_event_struct& e) {
    const std::string label = stream_label(e.stream_id, e.sub_stream_id);
    char line[320];
    if (e.kind == buffer_event_struct::underflow)
        std::snprintf(line, sizeof line,
                      "Underflow in %s at %.6f s: access unit decoded at %" PRIu64
                      " (90 kHz), %d bytes late, the last by %.6f s (packet at 0x%" PRIx64 ")",
                      label.c_str(), ticks_to_seconds(e.time), e.decoding_stamp, e.late_bytes,
                      ticks_to_seconds(e.lateness), static_cast<uint64_t>(e.packet_offset));
    else
        std::snprintf(line, sizeof line,
                      "Overflow in %s from %.6f s to %.6f s: up to %d bytes above its %d-byte buffer (packet at 0x%" PRIx64
                      ")",
                      label.c_str(), ticks_to_seconds(e.time), ticks_to_seconds(e.end_time), e.excess, e.buffer_size,
                      static_cast<uint64_t>(e.packet_offset));
    return line;
}
