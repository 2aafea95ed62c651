#include "ps/packet_reader.h"

#include <unistd.h>

#include "parser.h"
#include "ps/pstd_clock.h"

namespace {

// The `n` bytes at `offset` of the stream file, or null when the file does
// not hold them all.
const unsigned char* read_packet(packet_reader_struct& reader, int64_t offset, int64_t n) {
    if (reader.fd < 0 || offset < 0 || n > static_cast<int64_t>(packet_reader_block)) return nullptr;
    if (offset >= reader.block_offset && offset + n <= reader.block_offset + reader.block_length)
        return reader.data.get() + (offset - reader.block_offset);
    reader.block_offset = offset;
    reader.block_length = 0;
    size_t got = 0;
    while (got < packet_reader_block) {
        ssize_t k = pread(reader.fd, reader.data.get() + got, packet_reader_block - got,
                          static_cast<off_t>(offset + static_cast<int64_t>(got)));
        if (k <= 0) break;
        got += static_cast<size_t>(k);
    }
    reader.block_length = static_cast<int64_t>(got);
    return n <= reader.block_length ? reader.data.get() : nullptr;
}

}  // namespace

const unsigned char* packet_payload(packet_reader_struct& reader, const packet_struct& packet, int64_t& len) {
    return packet_payload(reader, packet, len, _mpeg_systems_format);
}

const unsigned char* packet_payload(packet_reader_struct& reader, const packet_struct& packet, int64_t& len,
                                    int32_t systems_format) {
    if (packet.length < 0 || packet.starting_offset < 0 || packet.pes_header_data_length < 0) return nullptr;
    const int64_t total = 6 + int64_t{packet.length};
    const int64_t start = payload_start(packet, systems_format);
    len = total - start;
    if (len < 0) return nullptr;
    const unsigned char* data = read_packet(reader, packet.starting_offset, total);
    return data ? data + start : nullptr;
}
