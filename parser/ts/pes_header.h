// PES packet header reader for transport streams: a pure function over the
// header's bytes, collected by the caller from as many transport packets as
// they span.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model.h"

// Header fields that packet_struct has no place for.  Absent fields keep
// their initial values (-1, or absent_ts for the clock values).
struct pes_header_extra {
    int32_t pes_priority = -1;
    uint64_t escr_base = absent_ts;  // ESCR_base, 33 bits, 90 kHz
    int32_t escr_extension = -1;     // ESCR_extension, 9 bits, 27 MHz
    int32_t trick_mode_byte = -1;    // the whole DSM trick mode byte (control in the top 3 bits)
    int32_t pes_private_data = -1;   // 1 when the 16 bytes of PES_private_data are there
    int32_t pack_field_length = -1;  // length of the pack_header() carried in the extension
    int32_t program_packet_sequence_counter = -1;
    int32_t mpeg1_mpeg2_identifier = -1;
    int32_t original_stuff_length = -1;
    int32_t pes_extension_field_length = -1;  // PES_extension_field_length (extension 2)
    int32_t stream_id_extension = -1;         // when stream_id_extension_flag is 0
    int32_t stuffing_bytes = 0;               // bytes after the last field up to PES_header_data_length
    // Marker bits found 0, and time-stamp prefixes ('0010', '0011', '0001')
    // that do not match the PTS_DTS_flags; the fields are read all the same.
    int32_t marker_errors = 0;
    // Why the header was refused (a string literal), or nullptr.
    const char* fault = nullptr;
};

enum class pes_header_result {
    complete,   // the header is read; `header_bytes` is its size
    need_more,  // `header_bytes` is how many bytes are needed to go on (more than given)
    invalid,    // not a PES header that can be read; `extra.fault` says why
};

// Reads a PES header (ISO/IEC 13818-1 2.4.3.6) from `data`, which starts
// with the packet_start_code_prefix 00 00 01.  `n` may be anything: call
// again with more bytes on need_more.  On complete, `header_bytes` counts
// the 6 bytes of start code, stream_id and PES_packet_length plus, for the
// streams that have it, the optional header through its stuffing (9 +
// PES_header_data_length).  `out` gets the fields the program-stream reader
// fills, `starting_offset` and `ends_at` excepted (the caller knows them).
// The streams without an optional header are program_stream_map,
// padding_stream, private_stream_2, ECM, EMM, DSM-CC, H.222.1 type E and
// program_stream_directory.  A stream_id below 0xBC, PTS_DTS_flags '01', a
// missing '10' in front of the optional header, or fields that do not fit
// in PES_header_data_length make the header invalid.
pes_header_result parse_pes_header(const uint8_t* data, size_t n, packet_struct& out, size_t& header_bytes,
                                   pes_header_extra& extra);
