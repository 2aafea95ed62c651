// What an elementary stream holds, from the stream_id of its PES packets
// (and, for a DVD's private_stream_1, the sub-stream byte that begins each
// payload) or from a transport stream's stream_type, and so how its payload
// is split into access units.
#pragma once

#include <cstdint>
#include <string>

enum class es_kind : int32_t {
    mpeg_video,    // ISO/IEC 11172-2 or 13818-2 video
    mpeg_audio,    // ISO/IEC 11172-3 or 13818-3 audio (Layers I to III)
    ac3,           // AC-3: DVD private_stream_1 sub-streams 0x80-0x87, ATSC stream_type 0x81
    dts,           // DVD sub-streams 0x88-0x8F
    lpcm,          // DVD sub-streams 0xA0-0xA7
    sub_picture,   // DVD sub-streams 0x20-0x3F
    private_data,  // any other private_stream_1 data
    aac_adts,      // stream_type 0x0F
    h264,          // stream_type 0x1B
    hevc,          // stream_type 0x24
    eac3,          // ATSC stream_type 0x87
    dvb_subtitles, // stream_type 0x06 with a subtitling descriptor (EN 300 468)
    teletext,      // stream_type 0x06 with a teletext descriptor
    scte35,        // stream_type 0x86: splice information
    other,         // a stream_type not modelled
};

// How a stream's payload is split into access units: the splitters of
// es/au_splitter.h know these codings; the rest are not modelled.  Program
// streams only meet the first four (their stream_ids never name H.264 or
// AAC); transport streams meet them all.
enum : int32_t {
    format_video = 0,         // MPEG-1/2 video
    format_mpeg_audio = 1,    // MPEG-1/2 audio (Layers I to III)
    format_ac3 = 2,           // AC-3 sync frames
    format_not_modelled = 3,  // LPCM, DTS, sub-pictures, other private data, and the kinds without a splitter
    format_h264 = 4,          // H.264 Annex B byte stream (stream_type 0x1B)
    format_aac_adts = 5,      // AAC in ADTS frames (stream_type 0x0F)
};

// Video streams 0xE0-0xEF.
inline bool is_video_stream_id(uint32_t stream_id) { return (stream_id & 0xF0) == 0xE0; }
// Audio streams 0xC0-0xDF.
inline bool is_mpeg_audio_stream_id(uint32_t stream_id) { return (stream_id & 0xE0) == 0xC0; }
// A stream whose packets may carry access units with time stamps.
inline bool is_elementary_stream_id(uint32_t stream_id) {
    return is_video_stream_id(stream_id) || is_mpeg_audio_stream_id(stream_id) || stream_id == 0xBD;
}

// DVD private_stream_1: the first payload byte names the sub-stream; audio
// sub-streams follow it with a frame count and a 16-bit pointer to the
// first access unit, before their elementary data.
inline constexpr int dvd_audio_header_bytes = 4;
// The private_stream_1 sub-stream a payload belongs to (its first byte), or
// -1 for other streams and for MPEG-1 system streams (systems_format 0),
// which have no such layout.
int32_t sub_stream_of(uint32_t stream_id, const unsigned char* payload, int64_t len, int32_t systems_format);

// The kind of program-stream or system-stream stream_id (and sub-stream, or
// -1).
es_kind es_kind_of_stream_id(uint32_t stream_id, int32_t sub_stream_id);
// The kind of a transport stream's stream_type (13818-1 Table 2-34 and the
// ATSC assignments 0x81 and 0x87).
es_kind es_kind_of_stream_type(uint8_t stream_type);
// "MPEG video", "MPEG audio", "AC-3", "DTS", "LPCM", "sub-picture",
// "private data", ...
const char* es_kind_name(es_kind kind);
// format_video, format_mpeg_audio, format_ac3, format_h264, format_aac_adts
// or format_not_modelled.
int32_t au_format_of(es_kind kind);

// The kind's name for a stream_id and sub-stream.
inline const char* stream_kind_name(uint32_t stream_id, int32_t sub_stream_id) {
    return es_kind_name(es_kind_of_stream_id(stream_id, sub_stream_id));
}
// "0xe0", or "0xbd/0x80" for a private_stream_1 sub-stream.
std::string stream_label(uint32_t stream_id, int32_t sub_stream_id);
