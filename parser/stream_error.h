// A fault found in a stream, as the readers report it to their observers:
// what kind it is, where it lies and the message text for people.
#pragma once

#include <cstdint>
#include <string>

enum class stream_error_kind : int32_t {
    // Program and system streams.
    marker_bit = 0,         // a marker bit that must be 1 is 0
    unknown_stream_id = 1,  // a start code whose stream_id no table names
    // Transport streams.
    sync_loss = 2,          // no sync byte where a packet should begin
    continuity = 3,         // continuity_counter skipped: packets are missing
    section_crc = 4,        // a PSI section whose CRC_32 does not check
    transport_error = 5,    // transport_error_indicator set
    scrambled = 6,          // transport_scrambling_control not 0
    malformed = 7,          // a length or field that cannot be right
};

struct stream_error {
    stream_error_kind kind = stream_error_kind::malformed;
    int64_t offset = -1;  // byte offset in the file the fault was found at
    int32_t pid = -1;     // transport streams: the packet's PID
    std::string message;  // one line of text, without a line end
};

// Short name of the kind, as JSON and reports give it ("marker_bit", ...).
inline const char* stream_error_kind_name(stream_error_kind kind) {
    switch (kind) {
        case stream_error_kind::marker_bit: return "marker_bit";
        case stream_error_kind::unknown_stream_id: return "unknown_stream_id";
        case stream_error_kind::sync_loss: return "sync_loss";
        case stream_error_kind::continuity: return "continuity";
        case stream_error_kind::section_crc: return "section_crc";
        case stream_error_kind::transport_error: return "transport_error";
        case stream_error_kind::scrambled: return "scrambled";
        case stream_error_kind::malformed: break;
    }
    return "malformed";
}
