#include "es/es_kind.h"

#include <cstdio>

int32_t sub_stream_of(uint32_t stream_id, const unsigned char* payload, int64_t len, int32_t systems_format) {
    if (stream_id != 0xBD || systems_format != 1 || len < 1) return -1;
    return payload[0];
}

es_kind es_kind_of_stream_id(uint32_t stream_id, int32_t sub) {
    if (is_video_stream_id(stream_id)) return es_kind::mpeg_video;
    if (is_mpeg_audio_stream_id(stream_id)) return es_kind::mpeg_audio;
    if (stream_id == 0xBD) {
        if (sub >= 0x80 && sub <= 0x87) return es_kind::ac3;
        if (sub >= 0x88 && sub <= 0x8F) return es_kind::dts;
        if (sub >= 0xA0 && sub <= 0xA7) return es_kind::lpcm;
        if (sub >= 0x20 && sub <= 0x3F) return es_kind::sub_picture;
    }
    return es_kind::private_data;
}

es_kind es_kind_of_stream_type(uint8_t stream_type) {
    switch (stream_type) {
    case 0x01:
    case 0x02: return es_kind::mpeg_video;
    case 0x03:
    case 0x04: return es_kind::mpeg_audio;
    case 0x0F: return es_kind::aac_adts;
    case 0x1B: return es_kind::h264;
    case 0x24: return es_kind::hevc;
    case 0x81: return es_kind::ac3;
    case 0x87: return es_kind::eac3;
    case 0x05:
    case 0x06: return es_kind::private_data;
    case 0x86: return es_kind::scte35;
    default: return es_kind::other;
    }
}

const char* es_kind_name(es_kind kind) {
    switch (kind) {
    case es_kind::mpeg_video: return "MPEG video";
    case es_kind::mpeg_audio: return "MPEG audio";
    case es_kind::ac3: return "AC-3";
    case es_kind::dts: return "DTS";
    case es_kind::lpcm: return "LPCM";
    case es_kind::sub_picture: return "sub-picture";
    case es_kind::private_data: return "private data";
    case es_kind::aac_adts: return "AAC";
    case es_kind::h264: return "H.264";
    case es_kind::hevc: return "HEVC";
    case es_kind::eac3: return "E-AC-3";
    case es_kind::dvb_subtitles: return "subtitles";
    case es_kind::teletext: return "teletext";
    case es_kind::scte35: return "SCTE-35";
    case es_kind::other: break;
    }
    return "other";
}

int32_t au_format_of(es_kind kind) {
    switch (kind) {
    case es_kind::mpeg_video: return format_video;
    case es_kind::mpeg_audio: return format_mpeg_audio;
    case es_kind::ac3: return format_ac3;
    case es_kind::h264: return format_h264;
    case es_kind::aac_adts: return format_aac_adts;
    default: return format_not_modelled;
    }
}

std::string stream_label(uint32_t stream_id, int32_t sub) {
    char text[32];
    if (sub >= 0)
        std::snprintf(text, sizeof text, "0x%x/0x%x", stream_id, static_cast<unsigned>(sub));
    else
        std::snprintf(text, sizeof text, "0x%x", stream_id);
    return text;
}
