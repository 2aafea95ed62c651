// What kind of systems stream a file holds, told from its first bytes.
#pragma once

#include <cstddef>
#include <cstdint>

enum class stream_format {
    unknown = 0,
    program_stream,  // ISO/IEC 13818-1 program stream or ISO/IEC 11172-1 system stream
    transport_188,   // transport stream, 188-byte packets
    transport_192,   // transport stream, each packet preceded by a 4-byte TP_extra_header
};

// Short name for messages and reports: "program stream", "TS 188", ...
const char* stream_format_name(stream_format format);

// Bytes from the start of one packet to the start of the next (188 or 192);
// 0 for formats that have no fixed packet size.
size_t transport_packet_size(stream_format format);

// Looks at the first `n` bytes of a stream (a few KiB are plenty; 64 KiB
// lets junk in front of the first packet be skipped) and tells its format.
//
// A transport stream needs sync bytes (0x47) at the packet period: 5 of them
// in a row, or as many as `n` bytes can hold when that is fewer, but never
// fewer than 2.  A program stream needs a pack start code 00 00 01 BA
// followed by the marker pattern of an MPEG-2 or MPEG-1 pack header.  When
// both are found the one that starts first wins; at the same offset the
// 188-byte transport stream wins.  `head` may hold junk before the first
// packet or pack.  The file name plays no part.
stream_format detect_stream_format(const uint8_t* head, size_t n);
