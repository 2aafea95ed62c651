// Frame headers of MPEG audio (ISO/IEC 11172-3, and the low sampling rates
// of 13818-3) and of AC-3 sync frames: whether the first bytes can begin a
// header, and a complete header's frame length and duration.
//
// MPEG audio: the 12-bit sync word, ID, layer, protection bit, then
// bitrate_index (4 bits), sampling_frequency (2), padding_bit: three bytes.
// AC-3: syncword 0x0B77, crc1, then fscod (2 bits) and frmsizecod (6 bits):
// five bytes.  AAC in ADTS (ISO/IEC 13818-7 6.2): the seven bytes of the
// fixed and variable headers.
#pragma once

#include <cstdint>

inline constexpr int mpeg_audio_header_bytes = 3;
inline constexpr int ac3_header_bytes = 5;
inline constexpr int adts_header_bytes = 7;

struct audio_frame_struct {
    int32_t length;    // bytes, header included
    int32_t duration;  // 27 MHz ticks: the 90 kHz count, truncated, times 300
};

// True when the first `n` bytes of `h` can begin a frame header this model
// can time: sync word, a layer, a bit rate from the tables (not free
// format, not forbidden), a sampling frequency that is not reserved.
inline bool mpeg_audio_prefix_ok(const unsigned char* h, int n) {
    if (n >= 1 && h[0] != 0xFF) return false;
    if (n >= 2 && ((h[1] & 0xF0) != 0xF0 || ((h[1] >> 1) & 3) == 0)) return false;
    if (n >= 3) {
        int bitrate_index = h[2] >> 4;
        int sampling = (h[2] >> 2) & 3;
        if (bitrate_index == 0 || bitrate_index == 15 || sampling == 3) return false;
    }
    return true;
}

// The same for AC-3: sync word, a sampling rate that is not reserved, a
// frame size code below 38.
inline bool ac3_prefix_ok(const unsigned char* h, int n) {
    if (n >= 1 && h[0] != 0x0B) return false;
    if (n >= 2 && h[1] != 0x77) return false;
    if (n >= 5 && ((h[4] >> 6) == 3 || (h[4] & 0x3F) >= 38)) return false;
    return true;
}

// The same for ADTS: syncword 0xFFF, layer 0, a sampling_frequency_index
// that is not reserved, an aac_frame_length that holds the header (9 bytes
// with its CRC).
inline bool adts_prefix_ok(const unsigned char* h, int n) {
    if (n >= 1 && h[0] != 0xFF) return false;
    if (n >= 2 && (h[1] & 0xF6) != 0xF0) return false;
    if (n >= 3 && ((h[2] >> 2) & 0x0F) >= 13) return false;
    if (n >= 6) {
        const int length = ((h[3] & 0x03) << 11) | (h[4] << 3) | (h[5] >> 5);
        if (length < ((h[1] & 0x01) ? 7 : 9)) return false;
    }
    return true;
}

// Length and duration of the frame a complete header begins; the header
// must pass the prefix check above.
audio_frame_struct mpeg_audio_frame(const unsigned char* header);
audio_frame_struct ac3_frame(const unsigned char* header);
audio_frame_struct adts_frame(const unsigned char* header);
