// Reads packets back from the stream file for the window's replay, which
// works on the packs the parser collected.  It keeps one block of the file
// (at least the largest packet), so that packets read in file order cost no
// seek and no copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "model.h"

// Largest packet: start code, length field and 65,535 more bytes.
inline constexpr int max_packet_bytes = 6 + 65535;

inline constexpr size_t packet_reader_block = 1 << 20;
static_assert(packet_reader_block >= max_packet_bytes);
struct packet_reader_struct {
    int fd = -1;  // not owned
    std::unique_ptr<unsigned char[]> data;  // packet_reader_block bytes
    int64_t block_offset = 0;               // file offset of data[0]
    int64_t block_length = 0;               // valid bytes in data
};

// The payload of a packet of the stream the parser last read (its
// systems format), read again from the file; null when it cannot be.
const unsigned char* packet_payload(packet_reader_struct& reader, const packet_struct& packet, int64_t& len);
// The same for a packet of the given systems format (1 program stream, 0
// MPEG-1 system stream).
const unsigned char* packet_payload(packet_reader_struct& reader, const packet_struct& packet, int64_t& len,
                                    int32_t systems_format);
