// Builds program streams and MPEG-1 system streams byte by byte, so that
// tests know every field and offset exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sb {

using bytes = std::vector<uint8_t>;

inline void append(bytes& out, const bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

inline bytes start_code(uint8_t id) { return {0x00, 0x00, 0x01, id}; }

// Five-byte time stamp with prefix nibble `prefix` (0x2 PTS only, 0x3 PTS of
// a pair, 0x1 DTS) and all marker bits set.
inline bytes time_stamp(uint8_t prefix, uint64_t ts) {
    return {static_cast<uint8_t>((prefix << 4) | (((ts >> 30) & 0x07) << 1) | 1),
            static_cast<uint8_t>(ts >> 22),
            static_cast<uint8_t>((((ts >> 15) & 0x7F) << 1) | 1),
            static_cast<uint8_t>(ts >> 7),
            static_cast<uint8_t>(((ts & 0x7F) << 1) | 1)};
}

// Program-stream pack header (14 bytes plus stuffing).
inline bytes pack_header(uint64_t scr_base, uint32_t ext, uint32_t mux, uint8_t stuffing = 0) {
    bytes b = start_code(0xBA);
    b.push_back(static_cast<uint8_t>(0x44 | (((scr_base >> 30) & 0x07) << 3) | ((scr_base >> 28) & 0x03)));
    b.push_back(static_cast<uint8_t>(scr_base >> 20));
    b.push_back(static_cast<uint8_t>((((scr_base >> 15) & 0x1F) << 3) | 0x04 | ((scr_base >> 13) & 0x03)));
    b.push_back(static_cast<uint8_t>(scr_base >> 5));
    b.push_back(static_cast<uint8_t>(((scr_base & 0x1F) << 3) | 0x04 | ((ext >> 7) & 0x03)));
    b.push_back(static_cast<uint8_t>(((ext & 0x7F) << 1) | 1));
    b.push_back(static_cast<uint8_t>(mux >> 14));
    b.push_back(static_cast<uint8_t>(mux >> 6));
    b.push_back(static_cast<uint8_t>(((mux & 0x3F) << 2) | 0x03));
    b.push_back(static_cast<uint8_t>(0xF8 | (stuffing & 0x07)));
    for (int i = 0; i < (stuffing & 0x07); ++i) b.push_back(0xFF);
    return b;
}

// MPEG-1 pack header (12 bytes).
inline bytes mpeg1_pack_header(uint64_t scr, uint32_t mux) {
    bytes b = start_code(0xBA);
    bytes ts = time_stamp(0x2, scr);
    append(b, ts);
    b.push_back(static_cast<uint8_t>(0x80 | ((mux >> 15) & 0x7F)));
    b.push_back(static_cast<uint8_t>(mux >> 7));
    b.push_back(static_cast<uint8_t>(((mux & 0x7F) << 1) | 1));
    return b;
}

struct buffer_bound {
    uint8_t stream_id;
    int scale;
    int size_bound;
};

struct system_header_fields {
    uint32_t rate_bound = 1000;
    int audio_bound = 1;
    int fixed = 0;
    int csps = 0;
    int audio_lock = 1;
    int video_lock = 1;
    int video_bound = 1;
    int packet_rate_restriction = 1;  // top bit of the last fixed byte
    std::vector<buffer_bound> bounds;
    std::optional<int> header_length;  // default: the real length
};

inline bytes system_header(const system_header_fields& f) {
    bytes body;
    body.push_back(static_cast<uint8_t>(0x80 | ((f.rate_bound >> 15) & 0x7F)));
    body.push_back(static_cast<uint8_t>(f.rate_bound >> 7));
    body.push_back(static_cast<uint8_t>(((f.rate_bound & 0x7F) << 1) | 1));
    body.push_back(static_cast<uint8_t>((f.audio_bound << 2) | (f.fixed << 1) | f.csps));
    body.push_back(static_cast<uint8_t>((f.audio_lock << 7) | (f.video_lock << 6) | 0x20 | (f.video_bound & 0x1F)));
    body.push_back(static_cast<uint8_t>((f.packet_rate_restriction << 7) | 0x7F));
    for (const auto& e : f.bounds) {
        body.push_back(e.stream_id);
        body.push_back(static_cast<uint8_t>(0xC0 | (e.scale << 5) | ((e.size_bound >> 8) & 0x1F)));
        body.push_back(static_cast<uint8_t>(e.size_bound));
    }
    bytes b = start_code(0xBB);
    int len = f.header_length ? *f.header_length : static_cast<int>(body.size());
    b.push_back(static_cast<uint8_t>(len >> 8));
    b.push_back(static_cast<uint8_t>(len));
    append(b, body);
    return b;
}

// Optional PES header of a program-stream packet.
struct pes_fields {
    int scrambling = 0;
    int priority = 0;
    int alignment = 0;
    int copyright = 0;
    int original = 0;
    std::optional<uint64_t> pts;
    std::optional<uint64_t> dts;
    int pts_dts_flags = -1;  // -1: from pts/dts presence
    bool escr = false;
    std::optional<uint32_t> es_rate;
    std::optional<uint8_t> trick_mode_byte;
    std::optional<uint8_t> additional_copy_info;
    std::optional<uint16_t> crc;
    // PES extension: the raw bytes after the extension flag byte's place,
    // starting with the flag byte itself.
    std::optional<bytes> extension;
    int stuffing = 0;                    // 0xFF bytes after the fields
    std::optional<int> header_data_length;  // default: the real length
};

inline bytes pes_header(const pes_fields& f) {
    bytes opt;
    int flags = f.pts_dts_flags >= 0 ? f.pts_dts_flags : (f.pts ? (f.dts ? 3 : 2) : 0);
    if (f.pts) append(opt, time_stamp(flags == 3 ? 0x3 : 0x2, *f.pts));
    if (f.dts) append(opt, time_stamp(0x1, *f.dts));
    if (f.escr) append(opt, bytes{0x04, 0x00, 0x04, 0x00, 0x04, 0x01});
    if (f.es_rate) {
        opt.push_back(static_cast<uint8_t>(0x80 | ((*f.es_rate >> 15) & 0x7F)));
        opt.push_back(static_cast<uint8_t>(*f.es_rate >> 7));
        opt.push_back(static_cast<uint8_t>(((*f.es_rate & 0x7F) << 1) | 1));
    }
    if (f.trick_mode_byte) opt.push_back(*f.trick_mode_byte);
    if (f.additional_copy_info) opt.push_back(static_cast<uint8_t>(0x80 | *f.additional_copy_info));
    if (f.crc) {
        opt.push_back(static_cast<uint8_t>(*f.crc >> 8));
        opt.push_back(static_cast<uint8_t>(*f.crc));
    }
    if (f.extension) append(opt, *f.extension);
    for (int i = 0; i < f.stuffing; ++i) opt.push_back(0xFF);

    bytes b;
    b.push_back(static_cast<uint8_t>(0x80 | (f.scrambling << 4) | (f.priority << 3) | (f.alignment << 2) |
                                     (f.copyright << 1) | f.original));
    b.push_back(static_cast<uint8_t>((flags << 6) | (f.escr << 5) | (f.es_rate.has_value() << 4) |
                                     (f.trick_mode_byte.has_value() << 3) |
                                     (f.additional_copy_info.has_value() << 2) | (f.crc.has_value() << 1) |
                                     f.extension.has_value()));
    b.push_back(static_cast<uint8_t>(f.header_data_length ? *f.header_data_length : static_cast<int>(opt.size())));
    append(b, opt);
    return b;
}

// A packet: start code, length (default: the real length) and body.
inline bytes packet(uint8_t stream_id, const bytes& body, std::optional<int> length = std::nullopt) {
    bytes b = start_code(stream_id);
    int len = length ? *length : static_cast<int>(body.size());
    b.push_back(static_cast<uint8_t>(len >> 8));
    b.push_back(static_cast<uint8_t>(len));
    append(b, body);
    return b;
}

inline bytes pes_packet(uint8_t stream_id, const pes_fields& f, const bytes& payload) {
    bytes body = pes_header(f);
    append(body, payload);
    return packet(stream_id, body);
}

// MPEG-1 packet header fields.
struct mpeg1_fields {
    int stuffing = 0;
    std::optional<std::pair<int, int>> std_buffer;  // scale, size
    std::optional<uint64_t> pts;
    std::optional<uint64_t> dts;
};

inline bytes mpeg1_header(const mpeg1_fields& f) {
    bytes b(f.stuffing, 0xFF);
    if (f.std_buffer) {
        b.push_back(static_cast<uint8_t>(0x40 | (f.std_buffer->first << 5) | ((f.std_buffer->second >> 8) & 0x1F)));
        b.push_back(static_cast<uint8_t>(f.std_buffer->second));
    }
    if (f.pts && f.dts) {
        append(b, time_stamp(0x3, *f.pts));
        append(b, time_stamp(0x1, *f.dts));
    } else if (f.pts) {
        append(b, time_stamp(0x2, *f.pts));
    } else {
        b.push_back(0x0F);
    }
    return b;
}

inline bytes mpeg1_packet(uint8_t stream_id, const mpeg1_fields& f, const bytes& payload) {
    bytes body = mpeg1_header(f);
    append(body, payload);
    return packet(stream_id, body);
}

inline bytes payload_bytes(size_t n, uint8_t seed = 1) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((seed + i * 7) & 0x7F);  // never a start code
    return b;
}

// An audio frame of `length` bytes: `header` (an MPEG audio or AC-3 frame
// header), then filler that holds no sync word of either.
inline bytes audio_frame(const bytes& header, size_t length) {
    bytes b = header;
    append(b, payload_bytes(length - header.size()));
    return b;
}

// The payload of a DVD private_stream_1 audio packet: sub-stream id, frame
// count and first access unit pointer, then `frames`.
inline bytes dvd_audio_payload(uint8_t sub_stream_id, uint8_t frame_count, const bytes& frames) {
    bytes b{sub_stream_id, frame_count, 0x00, 0x01};
    append(b, frames);
    return b;
}

inline bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts) append(out, p);
    return out;
}

// An MPEG-2 video sequence_header() and sequence_extension() (13818-2
// 6.2.2.1, 6.2.2.3): 352x288, square pixels, 25 frames/s, progressive 4:2:0,
// no quantiser matrices; `bit_rate_400` in units of 400 bit/s and `vbv` in
// units of 16,384 bits, both without their extensions.
inline bytes mpeg2_sequence(uint32_t bit_rate_400, uint32_t vbv, uint8_t profile_and_level) {
    struct bit_writer {
        bytes b;
        int used = 8;
        void put(uint32_t v, int n) {
            for (int i = n - 1; i >= 0; --i) {
                if (used == 8) {
                    b.push_back(0);
                    used = 0;
                }
                b.back() = static_cast<uint8_t>(b.back() | (((v >> i) & 1) << (7 - used)));
                ++used;
            }
        }
    } w;
    w.put(0x1B3, 32);
    w.put(352, 12), w.put(288, 12), w.put(1, 4), w.put(3, 4);
    w.put(bit_rate_400, 18), w.put(1, 1), w.put(vbv, 10), w.put(0, 1), w.put(0, 1), w.put(0, 1);
    w.put(0x1B5, 32);
    w.put(1, 4), w.put(profile_and_level, 8), w.put(1, 1), w.put(1, 2), w.put(0, 2), w.put(0, 2);
    w.put(0, 12), w.put(1, 1), w.put(0, 8), w.put(0, 1), w.put(0, 2), w.put(0, 5);
    return w.b;
}

// A coded picture of `length` bytes: its start code, a picture header with
// temporal_reference 0 and picture_coding_type I, then filler without
// start codes.
inline bytes picture(size_t length) {
    bytes b = start_code(0x00);
    append(b, bytes{0x00, 0x0F, 0xFF, 0xF8});
    append(b, payload_bytes(length - b.size()));
    return b;
}

}  // namespace sb
