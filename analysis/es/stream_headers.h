// What an elementary stream says of itself in its own headers: the MPEG-2
// video sequence header and extension, the H.264 sequence parameter set
// with its NAL HRD, and the ADTS header of AAC.  Pure readers over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// ISO/IEC 13818-2 6.2.2.1 sequence_header() and 6.2.2.3
// sequence_extension(); MPEG-1 video has the header alone.
struct video_sequence_info {
    int32_t width = 0, height = 0;
    int32_t frame_rate_code = 0;
    int64_t bit_rate_bps = 0;       // bit_rate x 400, with its extension
    int64_t vbv_buffer_size = 0;    // units of 16,384 bits, with its extension
    bool has_extension = false;     // MPEG-2 video
    int32_t profile_and_level = -1; // profile_and_level_indication, -1 without the extension
    // Profile (1 High ... 5 Simple) and level (4 High ... 10 Low) of a
    // profile_and_level_indication without its escape bit; 0 otherwise.
    int profile() const { return profile_and_level >= 0 && !(profile_and_level & 0x80) ? (profile_and_level >> 4) & 7 : 0; }
    int level() const { return profile_and_level >= 0 && !(profile_and_level & 0x80) ? profile_and_level & 0x0F : 0; }
    // The 4:2:2 profile (0x85 at Main level, 0x82 at High level).
    bool profile_422() const { return profile_and_level == 0x85 || profile_and_level == 0x82; }
};
// Reads a sequence header starting at its start code (00 00 01 B3) and, when
// one follows within `n` bytes, its sequence extension.  False when the
// bytes hold no whole sequence header.
bool read_video_sequence(const uint8_t* data, size_t n, video_sequence_info& info);

// ITU-T H.264 | ISO/IEC 14496-10 7.3.2.1.1 seq_parameter_set_data(), with
// E.1.1 vui_parameters() and E.1.2 hrd_parameters().
struct h264_sps_info {
    int32_t profile_idc = 0;
    int32_t constraint_flags = 0;  // constraint_set0_flag in bit 7 ... set5 in bit 2
    int32_t level_idc = 0;
    int32_t width = 0, height = 0;  // in luma samples, before cropping
    // VUI timing: one tick of the clock is num_units_in_tick / time_scale s.
    uint32_t num_units_in_tick = 0, time_scale = 0;
    bool fixed_frame_rate = false;
    // The NAL HRD's first schedule (SchedSelIdx 0).
    std::optional<int64_t> nal_hrd_bit_rate_bps;
    std::optional<int64_t> nal_hrd_cpb_size_bits;
    bool nal_hrd_cbr = false;
    // Level 1b: level_idc 11 with constraint_set3_flag in the Baseline,
    // Main and Extended profiles, or level_idc 9.
    bool level_1b() const {
        return level_idc == 9 ||
               (level_idc == 11 && (constraint_flags & 0x10) && (profile_idc == 66 || profile_idc == 77 || profile_idc == 88));
    }
};
// Reads an SPS NAL unit: `data` starts at its NAL header byte (type 7) and
// holds `n` bytes of it, emulation prevention bytes included.  False when it
// is cut short or malformed.
bool read_h264_sps(const uint8_t* data, size_t n, h264_sps_info& info);

// ISO/IEC 13818-7 6.2 adts_fixed_header() and adts_variable_header().
struct adts_header_info {
    int32_t profile = 0;               // profile_ObjectType
    int32_t sampling_frequency_index = 0;
    int32_t sampling_hz = 0;           // 0 for a reserved index
    int32_t channel_configuration = 0;
    int32_t frame_length = 0;          // aac_frame_length, header included
    int32_t raw_data_blocks = 1;       // number_of_raw_data_blocks_in_frame + 1
    bool protection_absent = true;
    // Samples of the frame: 1,024 per raw data block.
    int32_t samples() const { return 1024 * raw_data_blocks; }
};
// Reads the 7 header bytes at `data`; false without the syncword, with a
// reserved sampling index or layer, or a frame shorter than its header.
bool read_adts_header(const uint8_t* data, size_t n, adts_header_info& info);
