// Access-unit splitters: one elementary stream's payload, one PES packet at
// a time, into the access units it carries, each with its decoding time.
// MPEG video units are pictures with the sequence and group headers in front
// of them; H.264 units are access units of the Annex B byte stream (from an
// access unit delimiter, or from the first parameter set, SEI or slice of
// the next picture); MPEG audio, AC-3 and AAC (ADTS) units are frames.  The splitter knows no
// buffer: its caller enters the bytes into whatever buffers its decoder
// model has (the P-STD or STD buffer of a program stream, later a transport
// stream's EBn or Bn).
//
//   au_splitter_struct s;
//   init_au_splitter(s, format_video);
//   split_access_units(s, payload, len, stamp, split);   // for each packet
//
// Decoding times are ticks on the caller's clock (ticks.h): the caller
// brings each packet's time stamp onto it; the units that begin in a packet
// without a stamp follow the unit before by one picture period or frame
// duration.  A stamp belongs to the first unit whose first byte lies in its
// packet (ISO/IEC 13818-1, 2.4.3.7; es/stamp_rule.h).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "es/es_kind.h"
#include "es/stream_headers.h"
#include "ticks.h"

// Split of one packet's payload into chunks of different access units.
// Entry k holds n_bytes[k] payload bytes that follow those of entry k-1 and
// belong to the access unit decoded at au_dts[k].  Entry 0 holds the bytes
// before the first access unit that starts in the packet.  The vectors keep
// their room from packet to packet; n_entries tells how many entries count.
struct au_split_struct {
    int32_t n_entries = 0;
    // The packet's time stamp belongs to the access unit that was already
    // in progress when the packet began (its picture start code lies here,
    // its sequence header in an earlier packet): the bytes of that unit
    // already entered are retimed from `retime_from` to `retime_to`.
    bool retime = false;
    int64_t retime_from = 0;
    int64_t retime_to = 0;
    std::vector<int64_t> au_dts;
    std::vector<int32_t> n_bytes;
};

// Bytes of an H.264 sequence parameter set the splitter keeps to read it;
// a longer one is not read.
inline constexpr int h264_sps_max_bytes = 1024;

// What the splitter of one stream carries from packet to packet.  Video
// uses the first group of fields, H.264 the first and second, MPEG audio,
// AC-3 and AAC the third.
struct au_parse_info_struct {
    // Video.
    uint32_t start_code_register;  // last four payload bytes, across packets
    int32_t frame_period;          // ticks per picture, 0 until known
    bool in_header;                // a sequence or group header began the AU
    // H.264.
    bool h264_slice_seen;     // a slice of the unit in progress was met (true at the start of the stream)
    bool h264_has_aud;        // the stream has access unit delimiters: only they begin units
    bool h264_slice_pending;  // a slice's NAL header ended the last payload; its next byte tells
                              // whether it begins a picture
    bool h264_in_sps;         // collecting a sequence parameter set
    int32_t h264_sps_bytes;   // bytes of it collected
    uint8_t h264_sps[h264_sps_max_bytes];
    // Audio.
    uint8_t audio_au_header[7];  // frame header being collected
    int32_t frame_bytes_left;    // bytes of the frame in progress not yet seen
    int32_t header_bytes;        // bytes of audio_au_header collected
    int32_t frame_duration;      // ticks of the last frame whose header was read
    // Both: the stream met a header it cannot time (reserved frame rate,
    // sampling frequency or layer, free-format or forbidden bit rate, no sync
    // word).  Its bytes go on with the access unit in progress until a valid
    // sequence header or frame header is found again.
    bool lost_sync;
    // Audio while lost: the bytes at the end of the last payload that may
    // begin a frame header.
    uint8_t resync_bytes[6];
    int32_t n_resync_bytes;
    // A time stamp belongs to the first access unit whose first byte lies in
    // the packet.  When the last packet's stamp found no unit there, its
    // unit may be one whose start code (or frame header) begins at the end
    // of that packet and completes in the next one: such a unit takes it.
    bool has_carried_stamp;
    int64_t carried_stamp;
};

// One stream's splitter.
struct au_splitter_struct {
    int32_t format;    // format_video, format_h264, format_mpeg_audio, format_ac3, format_aac_adts;
                       // format_not_modelled splits nothing
    int64_t au_time;   // decoding time of the access unit in progress
    au_parse_info_struct parse_info;
    int64_t access_units;  // access units that began
    bool has_stamp;        // a time stamp of the stream was met
    // The last time stamp met, to give decoding times back as the stream's
    // own 90 kHz values.
    es_stamp_struct last_stamp;
    // H.264: the last sequence parameter set read (level, NAL HRD bit rate
    // and CPB size, VUI timing), for sizing the decoder's buffers.
    bool has_sps;
    h264_sps_info sps;
    // AAC: the last ADTS header read (channel_configuration, sampling rate).
    bool has_adts_header;
    adts_header_info adts_header;
};

// A splitter at the start of a stream of the given format.
void init_au_splitter(au_splitter_struct& splitter, int32_t format);

// Splits one packet's payload into `out` and moves the splitter on.  The
// first entry holds the bytes of the unit in progress (decoded at the
// splitter's au_time on entry, or retimed, see au_split_struct); a stream
// that is not modelled gives no entries and keeps no stamp.
void split_access_units(au_splitter_struct& splitter, const unsigned char* payload, int64_t len,
                        std::optional<es_stamp_struct> stamp, au_split_struct& out);
